// serialreg over real files in a scratch folder and the test machine's registry.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

const char kKeyPath[] = "SOFTWARE\\Orvane\\DMI\\1.00\\ComponentID";
const char kValue[] = "Serial Number";
const char kPlaceholder[] = "0000000000";
const char kUsage[] =
    "Normal Usage:\n"
    "\tserialreg.exe somedevice:\\somedirectory\\somefile.txt [-n] \n"
    "\t Normally c:\\sysser.txt\n"
    "\t where -n will not delete the specified file after successful completion\n"
    "\t default is to delete the file.\n";

using Optional = std::optional<std::string>;

bool Exists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

using Result = ProgramRun;

// Runs serialreg as "serialreg.exe ARGUMENTS" in directory and collects its output.
Result RunSerialreg(const std::string &arguments, const std::string &directory)
{
    return RunProgram("serialreg.exe" + (arguments.empty() ? "" : " " + arguments), directory);
}

// A scratch folder, and the registry left as it was found: the keys that did not
// exist are removed again, or the value that did exist is put back.
class Serialreg : public ::testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        folder_ = std::string(temp) + "serialreg run " + std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(folder_.c_str(), nullptr));

        std::string path = kKeyPath;
        for (size_t at = path.find('\\'); ; at = path.find('\\', at + 1)) {
            std::string level = path.substr(0, at);
            HKEY key;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, level.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
                createdRoot_ = level;
                break;
            }
            RegCloseKey(key);
            if (at == std::string::npos)
                break;
        }
        if (createdRoot_.empty())
            saved_ = Stored();
    }

    void TearDown() override
    {
        if (!createdRoot_.empty())
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, createdRoot_.c_str());
        else
            Store(saved_);
        RemoveTree(folder_);
    }

    static void RemoveTree(const std::string &folder)
    {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::string name = found.cFileName;
                if (name == "." || name == "..")
                    continue;
                std::string path = folder + "\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(path);
                } else {
                    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileA(path.c_str());
                }
            } while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(folder.c_str());
    }

    // The stored value, or nothing when it (or the key) is missing.
    static Optional Stored()
    {
        char data[512];
        DWORD size = sizeof data;
        DWORD type;
        if (RegGetValueA(HKEY_LOCAL_MACHINE, kKeyPath, kValue, RRF_RT_ANY, &type, data, &size)
            != ERROR_SUCCESS)
            return std::nullopt;
        EXPECT_EQ(type, DWORD(REG_SZ));
        return std::string(data, size ? size - 1 : 0);
    }

    static void Store(const Optional &value)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr), ERROR_SUCCESS);
        if (value)
            RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE *>(value->c_str()),
                           DWORD(value->size() + 1));
        else
            RegDeleteValueA(key, kValue);
        RegCloseKey(key);
    }

    std::string folder_;
    std::string createdRoot_;
    Optional saved_;
};

TEST_F(Serialreg, PrintsUsageWithoutAFileAndForAnUnknownOption)
{
    Result bare = RunSerialreg("", folder_);
    EXPECT_EQ(bare.exitCode, 0u);
    EXPECT_EQ(bare.output, kUsage);

    // An unknown option changes nothing: the file stays, nothing is stored.
    Store(std::nullopt);
    WriteFile(folder_ + "\\s.txt", "AB1\n");
    Result unknown = RunSerialreg("s.txt -x", folder_);
    EXPECT_EQ(unknown.exitCode, 0u);
    EXPECT_EQ(unknown.output, std::string("Error. Invalid or unknown argument '-x'\n") + kUsage);
    EXPECT_TRUE(Exists(folder_ + "\\s.txt"));
    EXPECT_EQ(Stored(), std::nullopt);

    // Only the first two characters of the option count; later arguments are ignored.
    Result loose = RunSerialreg("s.txt -Nope extra", folder_);
    EXPECT_EQ(loose.exitCode, 0u);
    EXPECT_EQ(loose.output, "");
    EXPECT_TRUE(Exists(folder_ + "\\s.txt"));
    EXPECT_EQ(Stored(), Optional("AB1"));
}

TEST_F(Serialreg, DecidesWhatToStoreFromTheFileAndTheRegistry)
{
    const std::string digits70 = [] {
        std::string s;
        for (int i = 0; i < 7; ++i)
            s += "0123456789";
        return s;
    }();
    const std::string long64(64, 'S');
    const std::string long63(63, 'S');
    struct Case {
        const char *what;
        Optional file;  // nothing: no file
        Optional stored;
        Optional expected;
    } cases[] = {
        {"blanks and CR LF trimmed", "AB123  \r\n", std::nullopt, "AB123"},
        {"punctuation only", "-- \r\n", std::nullopt, kPlaceholder},
        {"punctuation only, real number kept", "-- \r\n", "REAL42", "REAL42"},
        {"blank line", " \t \r\n", std::nullopt, kPlaceholder},
        {"empty file", "", std::nullopt, kPlaceholder},
        {"empty file, real number kept", "", "SN-77", "SN-77"},
        {"missing file", std::nullopt, std::nullopt, kPlaceholder},
        {"missing file, real number kept", std::nullopt, "SN-77", "SN-77"},
        {"file replaces a real number", "NEW9\n", "OLD1", "NEW9"},
        {"stored zeros replaced by the file", "XY7\n", "000", "XY7"},
        {"stored zeros replaced by the placeholder", "", "000", kPlaceholder},
        {"eleven zeros are a real number", "", "00000000000", "00000000000"},
        {"stored value over 63 characters ignored", "", long64, kPlaceholder},
        {"stored value of 63 characters kept", "", long63, long63},
        {"first line cut to 63 characters", digits70 + "\n", std::nullopt, digits70.substr(0, 63)},
        {"cut, then trimmed", std::string(62, 'x') + ".yyyyyyy\n", std::nullopt, std::string(62, 'x')},
        {"leading blanks kept", "  lead in \r\n", std::nullopt, "  lead in"},
        {"only the first line", "first\r\nsecond\r\n", std::nullopt, "first"},
        {"no newline at the end", "Z9", std::nullopt, "Z9"},
    };
    const std::string path = folder_ + "\\sysser.txt";
    for (const Case &c : cases) {
        Store(c.stored);
        DeleteFileA(path.c_str());
        if (c.file)
            WriteFile(path, *c.file);
        Result result = RunSerialreg("\"" + path + "\" -n", folder_);
        EXPECT_EQ(result.exitCode, 0u) << c.what;
        EXPECT_EQ(Stored(), c.expected) << c.what;
        EXPECT_EQ(Exists(path), bool(c.file)) << c.what << ": -n keeps the file";
    }
}

TEST_F(Serialreg, DeletesExactlyTheNamedFile)
{
    SetEnvironmentVariableA("SERIALREG_DECOY", "x");
    struct Case {
        const char *what;
        std::string file;            // relative to the scratch folder
        std::vector<std::string> decoys;
        bool deleted;
    } cases[] = {
        {"spaces", "sub dir\\my serial.txt", {"sub", "serial.txt", "sub dir\\my"}, true},
        {"interpreter metacharacters", "a&b ^c (1);=,.txt", {"a", "a&b", "b ^c (1);=,.txt"}, true},
        {"metacharacters in the folder", "x&y (2)\\s.txt", {"x", "y (2)\\s.txt"}, true},
        // % expands even between quotes: the file stays rather than risk another
        {"percent", "p%SERIALREG_DECOY%.txt", {"px.txt", "p.txt"}, false},
    };
    CreateDirectoryA((folder_ + "\\sub dir").c_str(), nullptr);
    CreateDirectoryA((folder_ + "\\x&y (2)").c_str(), nullptr);
    CreateDirectoryA((folder_ + "\\y (2)").c_str(), nullptr);
    for (const Case &c : cases) {
        const std::string target = folder_ + "\\" + c.file;
        WriteFile(target, "SN" + std::to_string(&c - cases) + "\n");
        for (const std::string &decoy : c.decoys)
            WriteFile(folder_ + "\\" + decoy, "decoy");
        for (const std::string &path : {c.file, target}) {  // relative and full
            if (!Exists(target))
                WriteFile(target, "SN" + std::to_string(&c - cases) + "\n");
            Store(std::nullopt);
            Result result = RunSerialreg("\"" + path + "\"", folder_);
            EXPECT_EQ(result.exitCode, 0u) << c.what;
            EXPECT_EQ(Exists(target), !c.deleted) << c.what << ": " << path;
            for (const std::string &decoy : c.decoys)
                EXPECT_TRUE(Exists(folder_ + "\\" + decoy)) << c.what << ": " << decoy << " deleted";
            EXPECT_EQ(Stored(), Optional("SN" + std::to_string(&c - cases))) << c.what;
            if (!c.deleted) {
                EXPECT_NE(result.output.find("not deleted"), std::string::npos) << result.output;
            }
        }
    }
    SetEnvironmentVariableA("SERIALREG_DECOY", nullptr);
}

TEST_F(Serialreg, MakesAHiddenFileVisibleAndDeletesItUnlessTold)
{
    const std::string path = folder_ + "\\hidden.txt";
    Store(std::string("REAL1"));

    WriteFile(path, "");
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
    RunSerialreg("hidden.txt -n", folder_);
    EXPECT_TRUE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN) << "-n touches nothing";

    RunSerialreg("hidden.txt", folder_);
    EXPECT_FALSE(Exists(path)) << "deleted though it gave no number";
    EXPECT_EQ(Stored(), Optional("REAL1"));
}

TEST_F(Serialreg, KeepsTheFileWhenTheRegistryCannotHoldItsNumber)
{
    // A volatile parent cannot get the lasting key serialreg needs.
    if (createdRoot_.empty() || createdRoot_ == kKeyPath || createdRoot_ == "SOFTWARE\\Orvane\\DMI\\1.00")
        GTEST_SKIP() << "the test machine already has the key's parents";
    HKEY orvane, dmi;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Orvane", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &orvane, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(orvane, "DMI", 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &dmi, nullptr), ERROR_SUCCESS);
    RegCloseKey(dmi);
    RegCloseKey(orvane);

    const std::string path = folder_ + "\\sysser.txt";
    WriteFile(path, "KEEP1\n");
    EXPECT_EQ(RunSerialreg("sysser.txt", folder_).exitCode, 0u);
    EXPECT_TRUE(Exists(path)) << "the file held the only copy of the number";
    EXPECT_EQ(Stored(), std::nullopt);

    WriteFile(path, "\n");
    RunSerialreg("sysser.txt", folder_);
    EXPECT_FALSE(Exists(path)) << "a file without a number goes all the same";
}

} // namespace
