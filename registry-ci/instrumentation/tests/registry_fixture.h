// Registry trees and instrumentation configurations built in the test machine's
// registry for as long as they live, and a plain walk of the same trees to compare
// the instrumentation's rows with.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "component_context.h"
#include "dmi_string.h"

// A subtree of HKEY_LOCAL_MACHINE, removed again by the destructor.
class RegistryTree {
public:
    explicit RegistryTree(std::string base) : base_(std::move(base)) { RegDeleteTreeA(HKEY_LOCAL_MACHINE, base_.c_str()); }
    ~RegistryTree() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, base_.c_str()); }
    RegistryTree(const RegistryTree &) = delete;
    RegistryTree &operator=(const RegistryTree &) = delete;

    // Full key path of a key of the tree, as a configured root names it.
    std::string Root(const std::string &sub = "") const
    {
        return "HKEY_LOCAL_MACHINE\\" + Path(sub);
    }
    std::string Path(const std::string &sub) const { return sub.empty() ? base_ : base_ + "\\" + sub; }

    RegistryTree &Key(const std::string &sub)
    {
        HKEY k = Create(sub);
        RegCloseKey(k);
        return *this;
    }
    RegistryTree &Set(const std::string &sub, const std::string &name, DWORD type, const void *data, DWORD size)
    {
        HKEY k = Create(sub);
        RegSetValueExA(k, name.c_str(), 0, type, static_cast<const BYTE *>(data), size);
        RegCloseKey(k);
        return *this;
    }
    RegistryTree &Text(const std::string &sub, const std::string &name, const std::string &text, bool terminated = true)
    {
        return Set(sub, name, REG_SZ, text.c_str(), DWORD(text.size() + (terminated ? 1 : 0)));
    }
    RegistryTree &Number(const std::string &sub, const std::string &name, DWORD value)
    {
        return Set(sub, name, REG_DWORD, &value, sizeof value);
    }
    RegistryTree &Delete(const std::string &sub, const std::string &name)
    {
        HKEY k = Create(sub);
        RegDeleteValueA(k, name.c_str());
        RegCloseKey(k);
        return *this;
    }

private:
    HKEY Create(const std::string &sub)
    {
        HKEY k = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path(sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
        return k;
    }
    std::string base_;
};

// The instrumentation's configuration of one component: "Key1", "Key2", ... as given
// (an empty text leaves that number out).
class RokinConfig {
public:
    RokinConfig(uint32_t componentId, const std::vector<std::string> &roots)
        : key_(std::string(ROKIN_CONFIG_ROOT) + "\\Component " + std::to_string(int32_t(componentId)))
    {
        HKEY root = nullptr, k = nullptr;
        createdRoot_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, ROKIN_CONFIG_ROOT, 0, KEY_READ, &root) != ERROR_SUCCESS;
        if (root)
            RegCloseKey(root);
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
        RegSetValueExA(k, "ComponentId", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&componentId), 4);
        for (size_t i = 0; i < roots.size(); i++)
            if (!roots[i].empty())
                RegSetValueExA(k, ("Key" + std::to_string(i + 1)).c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE *>(roots[i].data()), DWORD(roots[i].size()));
        RegCloseKey(k);
    }
    ~RokinConfig()
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, key_.c_str());
        if (createdRoot_)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, ROKIN_CONFIG_ROOT);
    }
    RokinConfig(const RokinConfig &) = delete;
    RokinConfig &operator=(const RokinConfig &) = delete;

private:
    std::string key_;
    bool createdRoot_;
};

// One row as the instrumentation names it.
struct Row {
    std::string path, name;
    uint32_t item;
    bool operator==(const Row &o) const { return path == o.path && name == o.name && item == o.item; }
};

inline std::ostream &operator<<(std::ostream &os, const Row &r)
{
    return os << r.path << " | " << r.name << " | " << r.item;
}

// A key list naming a row, with its own copies of the texts.
struct RowKeys {
    alignas(4) unsigned char path[4 + 260] = {};
    alignas(4) unsigned char name[4 + 260] = {};
    uint32_t item = 0;
    AttributeValue entries[3];
    explicit RowKeys(const Row &r) : item(r.item)
    {
        DmiStringPut(path, sizeof path, 0, r.path.data(), uint32_t(r.path.size()));
        DmiStringPut(name, sizeof name, 0, r.name.data(), uint32_t(r.name.size()));
        entries[0] = {1, 8, path};
        entries[1] = {2, 8, name};
        entries[2] = {4, 1, &item};
    }
};

// The rows below configured roots as a plain recursive walk of the registry finds
// them: a key's values, then its subkeys' subtrees; a multi-string value gives one
// row per string up to the first empty one.
inline void PlainWalk(HKEY hive, const std::string &hiveName, const std::string &path, std::vector<Row> &rows)
{
    HKEY key;
    if (RegOpenKeyExA(hive, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; i++) {
        char name[256];
        BYTE data[2048];
        DWORD len = sizeof name, type, size = sizeof data;
        LONG r = RegEnumValueA(key, i, name, &len, nullptr, &type, data, &size);
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA)
            break;
        uint32_t items = 1;
        if (type == REG_MULTI_SZ && r == ERROR_SUCCESS)
            for (DWORD pos = DWORD(strnlen(reinterpret_cast<char *>(data), size)) + 1; pos < size && data[pos];
                 pos += DWORD(strnlen(reinterpret_cast<char *>(data) + pos, size - pos)) + 1)
                items++;
        for (uint32_t item = 0; item < items; item++)
            rows.push_back({hiveName + "\\" + path, name, item});
    }
    for (DWORD i = 0;; i++) {
        char name[256];
        DWORD len = sizeof name;
        if (RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        PlainWalk(hive, hiveName, path + "\\" + name, rows);
    }
    RegCloseKey(key);
}

// The registry instrumentation's component description: group 2 lists the roots,
// group 3 is served by ROKINDLL.dll.
inline std::string RegistryMif(const std::vector<std::string> &roots)
{
    std::string text = "component \"Windows NT registry\"\n"
                       "group 2 \"ORVANE|Registry Key List|1.0\"\n"
                       "attribute 1 string key\n";
    for (const std::string &r : roots)
        text += "row \"" + r + "\"\n";
    text += "group 3 \"ORVANE|Registry Values|1.0\" instrumentation \"ROKINDLL.dll\"\n"
            "attribute 1 string key\n"
            "attribute 2 string key\n"
            "attribute 3 string\n"
            "attribute 4 integer key\n"
            "attribute 5 string\n";
    return text;
}
