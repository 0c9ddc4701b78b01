// The board heap's algorithms on a local buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "board_heap.h"

namespace {

constexpr uint32_t kBoardHeap = 524288;

struct LocalHeap {
    std::vector<uint32_t> words;
    explicit LocalHeap(uint32_t size) : words(size / 4 + 1, 0xCDCDCDCDu)
    {
        EXPECT_EQ(InitBoardHeap(size, data(), nullptr, 1), 1);
    }
    void *data() { return words.data(); }
    HeapHeader *header() { return reinterpret_cast<HeapHeader *>(words.data()); }
    uint32_t &at(uint32_t offset) { return *reinterpret_cast<uint32_t *>(reinterpret_cast<char *>(data()) + offset); }
    std::vector<std::pair<uint32_t, uint32_t>> FreeList()
    {
        std::vector<std::pair<uint32_t, uint32_t>> list;
        for (uint32_t b = header()->firstFree; b && list.size() < 100; b = at(b + 4))
            list.emplace_back(b, at(b));
        return list;
    }
};

struct Op {
    char kind; // 'a': allocate n bytes, 'f': free a payload offset
    uint32_t arg;
    uint32_t result;
};

struct HeapCase {
    const char *name;
    uint32_t size;
    std::vector<Op> ops;
    std::vector<std::pair<uint32_t, uint32_t>> freeList; // (block offset, size)
    uint32_t rover;
    std::vector<std::pair<uint32_t, uint32_t>> blockSizes; // allocated blocks to check
};

const HeapCase kCases[] = {
    {"FreshBoardFirst40Bytes", kBoardHeap, {{'a', 40, 28}}, {{68, 524220}}, 0, {{24, 44}}},
    {"Requests32_40_44Take36_44_48",
     1024,
     {{'a', 32, 28}, {'a', 40, 64}, {'a', 44, 108}},
     {{152, 1024 - 152}},
     0,
     {{24, 36}, {60, 44}, {104, 48}}},
    {"Remainder2GivenWhole", 24 + 38, {{'a', 32, 28}}, {}, 0, {{24, 38}}},
    {"Remainder4GivenWhole", 24 + 40, {{'a', 32, 28}}, {}, 0, {{24, 40}}},
    {"Remainder6GivenWhole", 24 + 42, {{'a', 32, 28}}, {}, 0, {{24, 42}}},
    {"Remainder8Split", 24 + 44, {{'a', 32, 28}}, {{60, 8}}, 0, {{24, 36}}},
    {"TinyRequestsMakeWholeFreeableBlocks", 1024, {{'a', 1, 28}, {'a', 3, 36}}, {{40, 984}}, 0, {{24, 8}, {32, 8}}},
    {"FreeBetweenTwoFreeNeighboursCoalesces",
     1024,
     {{'a', 32, 28}, {'a', 32, 64}, {'a', 32, 100}, {'a', 32, 136}, {'f', 28, 1}, {'f', 100, 1}, {'f', 64, 1}},
     {{24, 108}, {168, 1024 - 168}},
     0,
     {{132, 36}}},
    {"FreedBlockAbsorbsTheFreeBlockAbove",
     1024,
     {{'a', 32, 28}, {'a', 32, 64}, {'a', 32, 100}, {'f', 28, 1}, {'f', 100, 1}},
     {{24, 36}, {96, 1024 - 96}},
     0,
     {{60, 36}}},
    {"FreeAboveTheLastFreeBlockAppends",
     132,
     {{'a', 32, 28}, {'a', 32, 64}, {'a', 32, 100}, {'f', 28, 1}, {'f', 100, 1}},
     {{24, 36}, {96, 36}},
     0,
     {{60, 36}}},
    {"FreeRightAfterTheLastFreeBlockGrowsIt",
     96,
     {{'a', 32, 28}, {'a', 32, 64}, {'f', 28, 1}, {'f', 64, 1}},
     {{24, 72}},
     0,
     {}},
    // a,b,c,d,e allocated; a and c freed; a split sets the rover to c's block,
    // which freeing b absorbs: the rover returns to 0 and the next search
    // starts at the list's head.
    {"RoverResetWhenItsBlockIsAbsorbed",
     1024,
     {{'a', 32, 28},
      {'a', 32, 64},
      {'a', 32, 100},
      {'a', 32, 136},
      {'a', 32, 172},
      {'f', 28, 1},
      {'f', 100, 1},
      {'a', 8, 28},
      {'f', 64, 1},
      {'a', 32, 40}},
     {{72, 60}, {204, 1024 - 204}},
     204,
     {{24, 12}, {36, 36}}},
    // Free list 36:28, 100:12, 148:12, 196:12 with the rover at 100: a 24-byte
    // block fits only in the head, found after wrapping; the list keeps no cycle.
    {"WrapAroundSearchUnlinksTheHead",
     208,
     {{'a', 36, 28},
      {'a', 32, 68},
      {'a', 8, 104},
      {'a', 32, 116},
      {'a', 8, 152},
      {'a', 32, 164},
      {'f', 28, 1},
      {'f', 104, 1},
      {'f', 152, 1},
      {'a', 8, 28},
      {'a', 20, 40}},
     {{100, 12}, {148, 12}, {196, 12}},
     148,
     {{24, 12}, {36, 28}}},
    {"ExhaustedHeapRefuses", 64, {{'a', 32, 28}, {'a', 1, 0}}, {}, 0, {{24, 40}}},
    {"ZeroAndHugeRequestsRefused", 1024, {{'a', 0, 0}, {'a', 0xFFFFFFFFu, 0}, {'a', 1001, 0}}, {{24, 1000}}, 0, {}},
};

class HeapTable : public ::testing::TestWithParam<HeapCase> {};

TEST_P(HeapTable, OperationsLeaveTheExpectedChain)
{
    const HeapCase &c = GetParam();
    LocalHeap heap(c.size);
    for (size_t i = 0; i < c.ops.size(); i++) {
        const Op &op = c.ops[i];
        uint32_t got = op.kind == 'a' ? AllocBoardBlock(op.arg, heap.data()) : FreeBoardBlock(op.arg, heap.data());
        EXPECT_EQ(got, op.result) << "step " << i << ": " << op.kind << " " << op.arg;
        ASSERT_EQ(CheckBoardHeap(heap.data()), 1) << "step " << i;
    }
    EXPECT_EQ(heap.FreeList(), c.freeList);
    uint32_t freeBytes = 0;
    for (auto &b : c.freeList)
        freeBytes += b.second;
    EXPECT_EQ(heap.header()->freeBytes, freeBytes);
    EXPECT_EQ(heap.header()->firstFree, c.freeList.empty() ? 0 : c.freeList[0].first);
    EXPECT_EQ(heap.header()->rover, c.rover);
    for (auto &b : c.blockSizes)
        EXPECT_EQ(heap.at(b.first), b.second) << "block at " << b.first;
}

INSTANTIATE_TEST_SUITE_P(Board, HeapTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HeapCase> &info) { return std::string(info.param.name); });

TEST(BoardHeap, FreshHeapIsOneFreeBlock)
{
    LocalHeap heap(kBoardHeap);
    HeapHeader *h = heap.header();
    EXPECT_EQ(h->signature1, 0xA5A5A5A5u);
    EXPECT_EQ(h->signature2, 0x5A5A5A5Au);
    EXPECT_EQ(h->heapSize, kBoardHeap);
    EXPECT_EQ(h->rover, 0u);
    EXPECT_EQ(h->freeBytes, 524264u);
    EXPECT_EQ(heap.FreeList(), (std::vector<std::pair<uint32_t, uint32_t>>{{24, 524264}}));
    EXPECT_EQ(InitBoardHeap(31, heap.data(), nullptr, 1), 0);
    EXPECT_EQ(InitBoardHeap(kBoardHeap, nullptr, nullptr, 1), 0);
}

TEST(BoardHeap, RefusedFreesChangeNothing)
{
    LocalHeap heap(1024);
    uint32_t a = AllocBoardBlock(32, heap.data());
    uint32_t b = AllocBoardBlock(32, heap.data());
    ASSERT_EQ(FreeBoardBlock(a, heap.data()), 1);
    heap.at(32) = 8; // a plausible size word inside the free block
    const std::vector<uint32_t> before = heap.words;
    const uint32_t refused[] = {27, 0, 1025, 0xFFFFFFFFu, 1022 /* no room for a link */, a /* already free */,
                                a + 8 /* inside a free block */};
    for (uint32_t offset : refused) {
        EXPECT_EQ(FreeBoardBlock(offset, heap.data()), 0) << offset;
        EXPECT_EQ(heap.words, before) << offset;
    }
    EXPECT_EQ(FreeBoardBlock(b, nullptr), 0);
    EXPECT_EQ(FreeBoardBlockAddress(nullptr, heap.data()), 0);
    EXPECT_EQ(heap.words, before);

    LocalHeap board(kBoardHeap);
    EXPECT_EQ(FreeBoardBlock(524289, board.data()), 0);
}

TEST(BoardHeap, SignaturesDecideBetweenAdoptingAndLayingOutAnew)
{
    LocalHeap heap(1024);
    ASSERT_EQ(AllocBoardBlock(32, heap.data()), 28u);
    ASSERT_EQ(InitBoardHeap(1024, heap.data(), nullptr, 1), 1);
    EXPECT_EQ(heap.FreeList(), (std::vector<std::pair<uint32_t, uint32_t>>{{60, 964}})) << "adopted";

    heap.header()->signature2 = 0x5A5A5A5Bu;
    ASSERT_EQ(InitBoardHeap(1024, heap.data(), nullptr, 1), 1);
    EXPECT_EQ(heap.header()->signature2, 0x5A5A5A5Au);
    EXPECT_EQ(heap.FreeList(), (std::vector<std::pair<uint32_t, uint32_t>>{{24, 1000}})) << "laid out anew";
    EXPECT_EQ(heap.header()->freeBytes, 1000u);
    EXPECT_EQ(heap.header()->rover, 0u);
}

TEST(BoardHeap, AddressFormsMatchOffsets)
{
    LocalHeap heap(1024);
    void *p = AllocBoardBlockAddress(32, heap.data());
    ASSERT_EQ(p, static_cast<char *>(heap.data()) + 28);
    EXPECT_EQ(FreeBoardBlockAddress(p, heap.data()), 1);
    EXPECT_EQ(AllocBoardBlockAddress(0, heap.data()), nullptr);
}

struct Corruption {
    const char *name;
    void (*apply)(LocalHeap &);
};

// Heap of 1024: blocks a 24:36, b 60:36 allocated, c 96:36 free, d 132:36
// allocated, the rest free at 168.
const Corruption kCorruptions[] = {
    {"ZeroBlockSize", [](LocalHeap &h) { h.at(60) = 0; }},
    {"OddBlockSize", [](LocalHeap &h) { h.at(60) = 35; }},
    {"BlockRunsPastTheEnd", [](LocalHeap &h) { h.at(168) = 2000; }},
    {"FreeEntryOffABoundary", [](LocalHeap &h) { h.header()->firstFree = 100; }},
    {"FreeListPointsBack", [](LocalHeap &h) { h.at(168 + 4) = 96; }},
    {"FreeListLinksToItself", [](LocalHeap &h) { h.at(96 + 4) = 96; }},
    {"FreeEntryPastTheEnd", [](LocalHeap &h) { h.at(168 + 4) = 4096; }},
};

class CorruptHeap : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptHeap, CheckRefusesAndAllocationFails)
{
    LocalHeap heap(1024);
    for (uint32_t expected : {28u, 64u, 100u, 136u})
        ASSERT_EQ(AllocBoardBlock(32, heap.data()), expected);
    ASSERT_EQ(FreeBoardBlock(100, heap.data()), 1);
    ASSERT_EQ(CheckBoardHeap(heap.data()), 1);
    GetParam().apply(heap);
    EXPECT_EQ(CheckBoardHeap(heap.data()), 0);
    EXPECT_EQ(AllocBoardBlock(32, heap.data()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Board, CorruptHeap, ::testing::ValuesIn(kCorruptions),
                         [](const ::testing::TestParamInfo<Corruption> &info) { return std::string(info.param.name); });

} // namespace
