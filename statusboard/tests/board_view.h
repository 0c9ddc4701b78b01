// A test's own view of the machine's status board: the header, the heap and
// the lists, read (and, for fixtures, written) under the board's global lock.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "board.h"
#include "board_heap.h"
#include "board_records.h"

class BoardView {
public:
    BoardView()
    {
        mapping_ = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, BOARD_MAPPING_NAME);
        if (mapping_)
            view_ = static_cast<unsigned char *>(MapViewOfFile(mapping_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
        lock_ = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, BOARD_GLOBAL_LOCK_NAME);
    }
    ~BoardView()
    {
        if (view_)
            UnmapViewOfFile(view_);
        if (mapping_)
            CloseHandle(mapping_);
        if (lock_)
            CloseHandle(lock_);
    }
    BoardView(const BoardView &) = delete;
    BoardView &operator=(const BoardView &) = delete;

    bool ok() const { return view_ && lock_; }
    BoardHeader *header() { return reinterpret_cast<BoardHeader *>(view_); }
    unsigned char *heap() { return view_ + BOARD_HEADER_SIZE; }
    HeapHeader *heapHeader() { return reinterpret_cast<HeapHeader *>(heap()); }
    uint32_t &word(uint32_t heapOffset) { return *reinterpret_cast<uint32_t *>(heap() + heapOffset); }

    // Runs f with the global lock held.
    template <typename F> auto Locked(F f)
    {
        WaitForSingleObject(lock_, INFINITE);
        struct Release {
            HANDLE h;
            ~Release() { ReleaseMutex(h); }
        } release{lock_};
        return f();
    }

    // Records of one kind, in list order, as (handle, owning process id).
    std::vector<std::pair<uint32_t, uint32_t>> List(uint32_t kind)
    {
        return Locked([&] {
            std::vector<std::pair<uint32_t, uint32_t>> records;
            uint32_t head = kind == KIND_EVENT ? header()->eventListHead
                          : kind == KIND_DLL   ? header()->dllListHead
                                               : header()->serverListHead;
            uint32_t nextAt = kind == KIND_DLL ? offsetof(VelkDllRecord, next) : offsetof(EventCallbackRecord, next);
            uint32_t pidAt = kind == KIND_DLL ? offsetof(VelkDllRecord, processId)
                                              : offsetof(EventCallbackRecord, processId);
            for (uint32_t r = head; r && records.size() < 100000; r = word(r + nextAt))
                records.emplace_back(r, word(r + pidAt));
            return records;
        });
    }

    size_t CountOwnedBy(uint32_t kind, DWORD pid)
    {
        size_t n = 0;
        for (auto &r : List(kind))
            n += r.second == pid;
        return n;
    }

    // Free blocks as (offset, size).
    std::vector<std::pair<uint32_t, uint32_t>> FreeList()
    {
        return Locked([&] {
            std::vector<std::pair<uint32_t, uint32_t>> blocks;
            for (uint32_t b = heapHeader()->firstFree; b && blocks.size() < 100000; b = word(b + 4))
                blocks.emplace_back(b, word(b));
            return blocks;
        });
    }

    // Clears the status words so that a test starts from a known board.
    void ResetStatus()
    {
        Locked([&] {
            header()->activityTotal = 0;
            header()->serverStatus = 0;
            header()->serverActivity = 0;
            header()->remoteAccessRequest = 0;
            return 0;
        });
    }

private:
    HANDLE mapping_ = nullptr;
    HANDLE lock_ = nullptr;
    unsigned char *view_ = nullptr;
};
