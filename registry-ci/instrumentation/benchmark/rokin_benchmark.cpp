// Rows per second of the registry instrumentation through the whole path (a
// management application's 773/774 commands, the service layer, ROKINDLL.dll and the
// service layer's instrumentation entry) against a plain walk of the same registry
// tree that reads every value. Builds the tree, measures, removes everything again.
//   rokin_benchmark [KEYS [VALUES_PER_KEY]]     default 100 x 100 = 10,000 values
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "row_command.h" // the tree, component and row-command helpers of the tests

namespace {

HANDLE g_done;

void __stdcall CommandDone(DmiCommandBlock *) { SetEvent(g_done); }

uint32_t InvokeAndWait(DmiCommandBlock *block)
{
    ResetEvent(g_done);
    uint32_t result = DmiInvoke(block);
    if (result)
        return result;
    WaitForSingleObject(g_done, INFINITE);
    return block->completionStatus;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Every row through the service layer; returns the number of rows.
size_t ListThroughServiceLayer(uint32_t handle, uint32_t componentId)
{
    size_t rows = 0;
    auto command = std::make_unique<RowCommand>(handle, componentId, 3);
    while (InvokeAndWait(command->get()) == 0) {
        auto row = command->Result();
        if (!row)
            break;
        rows++;
        command = std::make_unique<RowCommand>(handle, componentId, 3, &*row);
    }
    return rows;
}

// A plain recursive walk reading each value's data, as a program without the
// instrumentation would list the same tree.
size_t PlainRows(HKEY parent, const char *path)
{
    HKEY key;
    size_t rows = 0;
    if (RegOpenKeyExA(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    for (DWORD i = 0;; i++) {
        char name[256];
        BYTE data[2048];
        DWORD len = sizeof name, size = sizeof data, type;
        LONG r = RegEnumValueA(key, i, name, &len, nullptr, &type, data, &size);
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA)
            break;
        rows++;
    }
    for (DWORD i = 0;; i++) {
        char name[256];
        DWORD len = sizeof name;
        if (RegEnumKeyExA(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        rows += PlainRows(key, name);
    }
    RegCloseKey(key);
    return rows;
}

} // namespace

int main(int argc, char **argv)
{
    int keys = argc > 1 ? std::atoi(argv[1]) : 100, perKey = argc > 2 ? std::atoi(argv[2]) : 100;
    if (keys < 1 || perKey < 1 || keys > 10000 || perKey > 10000) {
        std::fprintf(stderr, "usage: rokin_benchmark [KEYS [VALUES_PER_KEY]]\n");
        return 2;
    }
    RegistryTree tree("SOFTWARE\\RokinBenchmark");
    for (int k = 0; k < keys; k++) {
        char key[32];
        std::snprintf(key, sizeof key, "Key%04d", k);
        for (int v = 0; v < perKey; v++) {
            char name[32];
            std::snprintf(name, sizeof name, "Value%04d", v);
            tree.Text(key, name, "some text of a value");
        }
    }
    InstalledComponent component(RegistryMif({tree.Root()}));
    if (component.result) {
        std::fprintf(stderr, "rokin_benchmark: installing the component failed (0x%X)\n", component.result);
        return 1;
    }
    RokinConfig config(component.id, {tree.Root()});

    g_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TestBlock reg(CommandDone, 1);
    if (!g_done || InvokeAndWait(reg.get()) != 0) {
        std::fprintf(stderr, "rokin_benchmark: the service layer refuses the registration\n");
        return 1;
    }
    uint32_t handle = reg.ResponseWord(8);

    double bestPath = 1e9, bestPlain = 1e9;
    size_t pathRows = 0, plainRows = 0;
    for (int round = 0; round < 3; round++) {
        auto start = std::chrono::steady_clock::now();
        pathRows = ListThroughServiceLayer(handle, component.id);
        bestPath = std::min(bestPath, Seconds(start));
        start = std::chrono::steady_clock::now();
        plainRows = PlainRows(HKEY_LOCAL_MACHINE, tree.Path("").c_str());
        bestPlain = std::min(bestPlain, Seconds(start));
    }
    TestBlock unreg(DMI_CMD_UNREGISTER, handle, 1);
    InvokeAndWait(unreg.get());

    double pathRate = pathRows / bestPath, plainRate = plainRows / bestPlain;
    std::printf("values in the tree          %d\n", keys * perKey);
    std::printf("through the service layer   %zu rows in %.3f s = %.0f rows/s\n", pathRows, bestPath, pathRate);
    std::printf("plain registry walk         %zu rows in %.3f s = %.0f rows/s\n", plainRows, bestPlain, plainRate);
    std::printf("plain walk / whole path     %.1f\n", plainRate / pathRate);
    return pathRows == plainRows ? 0 : 1;
}
