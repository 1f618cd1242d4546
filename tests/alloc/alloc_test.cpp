// Heap use of the per-tick and per-message paths, counted by replacing the global operator new
// and delete of this test program: neither a tick nor a keep-open message may allocate.
#include "../support/test_tank.h"
#include "core/message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {
std::atomic<long> allocations{0};

void *counted_alloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void *counted_aligned_alloc(std::size_t size, std::align_val_t align) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    const auto a = static_cast<std::size_t>(align);
    const std::size_t rounded = (size + a - 1) / a * a;
    if (void *p = std::aligned_alloc(a, rounded == 0 ? a : rounded))
        return p;
    throw std::bad_alloc();
}
} // namespace

// Every replaceable form, since a runtime may give each its own definition (AddressSanitizer
// does, so there an array new never reaches the single-object one).
void *operator new(std::size_t size) {
    return counted_alloc(size);
}
void *operator new[](std::size_t size) {
    return counted_alloc(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return counted_alloc(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return operator new(size, std::nothrow);
}
void *operator new(std::size_t size, std::align_val_t align) {
    return counted_aligned_alloc(size, align);
}
void *operator new[](std::size_t size, std::align_val_t align) {
    return counted_aligned_alloc(size, align);
}
void *operator new(std::size_t size, std::align_val_t align, const std::nothrow_t &) noexcept {
    try {
        return counted_aligned_alloc(size, align);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t &) noexcept {
    return operator new(size, align, std::nothrow);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete(void *p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept {
    std::free(p);
}

namespace {

using namespace vandry;

// Allocations made by n ticks, the first of them the first tick after start-up.
long allocations_of_ticks(int n) {
    const Tank tank = tank_from_draws(EXAMPLE_DRAWS);
    Telemetry tm = START_TELEMETRY;
    StdRand rng(7);
    const long before = allocations.load();
    for (int i = 0; i < n; ++i)
        advance_tick(draw_tick(rng), tank, tm);
    return allocations.load() - before;
}

// Allocations made by composing n messages of one data type code, from the single unit's
// stream and from a fleet unit's.
long allocations_of_messages(int data_type, int n) {
    UnitStream<StdRand> unit(7);
    UnitStream<GlibcRand> fleet_unit(7);
    char out[MAX_MESSAGE_LENGTH + 1] = {};
    const long before = allocations.load();
    long bytes = 0;
    for (int i = 0; i < n; ++i) {
        bytes += unit.next(out, "station_01", data_type);
        bytes += fleet_unit.next(out, "station_01", data_type);
    }
    const long made = allocations.load() - before;
    EXPECT_GT(bytes, 0);
    return made;
}

} // namespace

TEST(Allocations, CounterSeesOperatorNew) {
    static void *volatile sink = nullptr;
    const long before = allocations.load();
    sink = new char[64];
    delete[] static_cast<char *>(sink);
    sink = new (std::nothrow) int(1);
    delete static_cast<int *>(sink);
    sink = new std::string(100, 'x'); // the object and its text
    delete static_cast<std::string *>(sink);
    EXPECT_EQ(allocations.load() - before, 4);
}

TEST(Allocations, TicksAllocateNothing) {
    EXPECT_EQ(allocations_of_ticks(10), 0);    // the first tick after start-up among them
    EXPECT_EQ(allocations_of_ticks(10000), 0); // dozens of level cycles, 500 drift cycles
}

TEST(Allocations, MessagesAllocateNothing) {
    for (const int code : {10, 11, 20, 21, 30, 31}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(allocations_of_messages(code, 10), 0);
        EXPECT_EQ(allocations_of_messages(code, 10000), 0);
    }
}
