// Buffer sizing, the slot layout in the arena, and the arena itself.
#include <gtest/gtest.h>

#include <cstdint>

#include "core/arena.h"
#include "core/engine.h"

namespace qm {
namespace {

constexpr uint32_t unit = 2097152;

TEST(BufferSizing, ClampAndRound) {
  struct row {
    const char* label;
    uint32_t size;
    uint32_t clamped;
    uint64_t rounded;
  };
  const row rows[] = {
      {"zero becomes the unit", 0, unit, unit},
      {"above the unit becomes the unit", unit + 1, unit, unit},
      {"the unit stays", unit, unit, unit},
      {"a multiple of 4096 is not rounded", 65536, 65536, 65536},
      {"one byte rounds to a page", 1, 1, 4096},
      {"one past a page rounds up", 4097, 4097, 8192},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    EXPECT_EQ(clamp_to_unit(r.size, unit), r.clamped);
    EXPECT_EQ(round_to_4096(clamp_to_unit(r.size, unit)), r.rounded);
  }
}

struct layout_engine {
  Z_SOCKET engine;
  layout_engine() {
    engine.cw_connections = default_connections;
    engine.path_length = default_path_length;
    engine.packet_length_r = default_packet_length_r;
    engine.packet_length_w = default_packet_length_w;
    engine.arena.unit = unit;
  }
};

TEST(BufferSizing, TheConstantsNeedNineteenUnits) {
  layout_engine l;
  EXPECT_EQ(arena_units(l.engine), 19u);
  // 606208 bytes a slot, 38797312 for 64 slots.
  EXPECT_EQ((524288u + 65536u + 16384u) * 64u, 38797312u);
  // The names buffers fill the rest of the 19 units exactly.
  EXPECT_EQ((524288u + 65536u + 16384u + names_length) * 64u, 19u * unit);
}

TEST(BufferSizing, OddSizesRoundBeforeTheUnitsAreCounted) {
  layout_engine l;
  l.engine.packet_length_w = 524289;  // one byte over: the send buffer takes another page
  l.engine.path_length = 8193;
  uint64_t per_slot = 528384 + 65536 + 2 * 12288 + names_length;
  EXPECT_EQ(arena_units(l.engine), (per_slot * 64 + unit - 1) / unit);
}

TEST(SlotLayout, BuffersLieAtTheirOffsets) {
  layout_engine l;
  Z_SOCKET& e = l.engine;
  ASSERT_EQ(allocate_arena(e.arena, arena_units(e)), 0);
  uint8_t* fake_arena = e.arena.base;
  const uint64_t S = 524288, R = 65536, P = 8192;
  for (uint32_t i : {0u, 1u, 31u, 63u}) {
    SCOPED_TRACE(i);
    Z_TASK& t = e.tasks[i];
    t.packet_length_r = e.packet_length_r;
    cut_slot_buffers(e, t, i);
    char* base = reinterpret_cast<char*>(fake_arena);
    EXPECT_EQ(t.response.send_base, base + i * S);
    EXPECT_EQ(t.response.p_write, t.response.send_base);
    EXPECT_EQ(t.response.size_write, S / 2);
    EXPECT_EQ(t.recv_begin, base + 64 * S + i * R);
    EXPECT_EQ(t.recv_end, t.recv_begin + R);
    EXPECT_EQ(t.tls.p_recv, t.recv_begin);
    EXPECT_EQ(t.tls.p_recv_size, R);
    EXPECT_EQ(reinterpret_cast<char*>(t.response.path.buffer), base + 64 * (S + R) + i * 2 * P);
    EXPECT_EQ(t.response.path.capacity, P);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(t.recv_begin) % 4096, 0u);
    EXPECT_EQ(t.names_begin, base + 64 * (S + R + 2 * P) + i * names_length);
  }
  // The last path buffer ends where the names buffers begin, the last of them inside the arena.
  char* last_path_end = reinterpret_cast<char*>(e.tasks[63].response.path.buffer) + 2 * P;
  EXPECT_EQ(last_path_end, e.tasks[0].names_begin);
  EXPECT_LE(e.tasks[63].names_begin + names_length, reinterpret_cast<char*>(e.arena.base) + e.arena.total);
  release_arena(e.arena);
}

TEST(Arena, AllocatesAlignedUnitsAndReleasesOnce) {
  Z_ARENA arena;
  ASSERT_EQ(allocate_arena(arena, 19), 0);
  ASSERT_NE(arena.base, nullptr);
  EXPECT_EQ(arena.unit, unit);
  EXPECT_EQ(arena.total, 39845888u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(arena.base) % unit, 0u);
  arena.base[0] = 1;
  arena.base[arena.total - 1] = 1;
  EXPECT_EQ(release_arena(arena), 0);
  EXPECT_EQ(arena.base, nullptr);
  EXPECT_EQ(release_arena(arena), -1);
}

TEST(Arena, UnitIsTwoMegabytesWithoutLargePages) {
  bool large = true;
  EXPECT_EQ(query_unit(&large), unit);
  EXPECT_FALSE(large);
}

}  // namespace
}  // namespace qm
