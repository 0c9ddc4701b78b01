// Test support for programs that talk to a DMI service layer: the stand-in's
// test knobs, command blocks, and a recorder of confirmations.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dmiapi.h"

// Sets the service layer's test knobs for as long as it lives; a fresh set
// starts from none.
class ServiceLayerKnobs {
public:
    ServiceLayerKnobs() { Clear(); }
    ~ServiceLayerKnobs() { Clear(); }
    ServiceLayerKnobs &Set(const char *name, DWORD value)
    {
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, DMIAPI_KNOBS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
            RegCloseKey(key);
        }
        return *this;
    }
    static void Clear() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, DMIAPI_KNOBS_KEY); }
};

// One command block with room for command-specific words, and its response buffer.
struct TestBlock {
    alignas(4) unsigned char bytes[512] = {};
    alignas(4) unsigned char response[256] = {};

    DmiCommandBlock *operator->() { return reinterpret_cast<DmiCommandBlock *>(bytes); }
    DmiCommandBlock *get() { return reinterpret_cast<DmiCommandBlock *>(bytes); }
    uint32_t &Word(uint32_t offset) { return *reinterpret_cast<uint32_t *>(bytes + offset); }
    uint32_t &ResponseWord(uint32_t offset) { return *reinterpret_cast<uint32_t *>(response + offset); }

    TestBlock() = default;
    TestBlock(const TestBlock &) = delete; // the block points into itself
    TestBlock &operator=(const TestBlock &) = delete;

    TestBlock(uint32_t command, uint32_t handle, uint32_t context)
    {
        DmiCommandBlock *b = get();
        b->signature = DMI_SIGNATURE;
        b->command = command;
        b->blockLength = DMI_REGISTRATION_BLOCK_SIZE;
        b->handle = handle;
        b->context = context;
        b->reserved24 = 1;
        b->responseSize = sizeof response;
        b->response = response;
    }
    // A registration block whose confirmations go to `confirm`.
    TestBlock(DmiConfirmCallback confirm, uint32_t context) : TestBlock(DMI_CMD_REGISTER, 0, context)
    {
        get()->confirmCallback = confirm;
    }
};

// Records every confirmation delivered to RecordConfirmation.
struct ConfirmationLog {
    struct Entry {
        DmiCommandBlock *block;
        uint32_t command, handle, context, status;
        DWORD thread;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Entry> entries;

    void Add(DmiCommandBlock *b)
    {
        std::lock_guard<std::mutex> g(lock);
        entries.push_back({b, b->command, b->handle, b->context, b->completionStatus, GetCurrentThreadId()});
        changed.notify_all();
    }
    // True once at least `count` confirmations have arrived within `timeout`.
    bool WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, timeout, [&] { return entries.size() >= count; });
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> g(lock);
        return entries.size();
    }
    std::vector<Entry> Snapshot()
    {
        std::lock_guard<std::mutex> g(lock);
        return entries;
    }
    void Reset()
    {
        std::lock_guard<std::mutex> g(lock);
        entries.clear();
    }
};

inline ConfirmationLog g_confirmations;

inline void __stdcall RecordConfirmation(DmiCommandBlock *block) { g_confirmations.Add(block); }

// A component installed in the service layer's database for as long as it lives.
class InstalledComponent {
public:
    explicit InstalledComponent(const std::string &description)
    {
        result = DmiInstall(DMIAPI_INSTALL_COMPONENT, uint32_t(uintptr_t(description.data())),
                            uint32_t(description.size()), uint32_t(uintptr_t(&id)), uint32_t(uintptr_t(&errorLine)));
    }
    ~InstalledComponent()
    {
        if (id)
            DmiInstall(DMIAPI_REMOVE_COMPONENT, id, 0, 0, 0);
    }
    InstalledComponent(const InstalledComponent &) = delete;
    InstalledComponent &operator=(const InstalledComponent &) = delete;
    uint32_t result = 0, id = 0, errorLine = 0;
};

// One attribute of a row response: its type (0: no value) and value.
struct RowAttribute {
    uint32_t type = 0;
    uint32_t number = 0;
    std::string text;
};

// The attributes of a 773/774 row response by attribute id; empty when the
// response is not a well-formed row inside `size` bytes.
inline std::map<uint32_t, RowAttribute> ParseRowResponse(const unsigned char *response, uint32_t size)
{
    std::map<uint32_t, RowAttribute> row;
    auto word = [&](uint32_t at) {
        uint32_t w;
        std::memcpy(&w, response + at, 4);
        return w;
    };
    if (size < DMIAPI_ROW_HEADER_SIZE)
        return row;
    uint32_t n = word(8), first = word(12);
    if (n > 64 || first + n * DMIAPI_ROW_ENTRY_SIZE > size)
        return row;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t at = first + i * DMIAPI_ROW_ENTRY_SIZE;
        RowAttribute a{word(at + 4), word(at + 8), ""};
        if (a.type == DMI_TYPE_STRING) {
            if (a.number + 4 > size || word(a.number) > size - a.number - 4)
                return {};
            a.text.assign(reinterpret_cast<const char *>(response) + a.number + 4, word(a.number));
        }
        row[word(at)] = a;
    }
    return row;
}

using DmiInvokeFn = uint32_t(__stdcall *)(DmiCommandBlock *);

// Registers through `invoke` (the service layer's or the router's entry) and waits
// for the confirmation; the new handle, or 0 when there is none.
inline uint32_t RegisterAndWait(DmiInvokeFn invoke)
{
    TestBlock reg(RecordConfirmation, 1);
    size_t before = g_confirmations.Count();
    if (invoke(reg.get()) != 0 || !g_confirmations.WaitFor(before + 1))
        return 0;
    return reg.ResponseWord(DMI_RESPONSE_HANDLE_OFFSET);
}

// Unregisters and waits for the confirmation, so that the next test's counts
// start clean.
inline void UnregisterAndWait(DmiInvokeFn invoke, uint32_t handle)
{
    TestBlock unreg(DMI_CMD_UNREGISTER, handle, 1);
    size_t before = g_confirmations.Count();
    if (invoke(unreg.get()) == 0)
        g_confirmations.WaitFor(before + 1);
}
