// Lookup of a model's frames by name and type in constant average time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/model/frame.hpp"

namespace velmora {

// A hash of short texts (names) for the lookup tables: eight bytes at a time, mixed by a
// multiplication and folded.
inline std::uint64_t hash_text(std::string_view s) {
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ull;
  std::uint64_t h = s.size() * k;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    h = (h ^ w) * k;
    h ^= h >> 32;
  }
  if (i < s.size()) {
    std::uint64_t w = 0;
    for (std::size_t j = 0; i + j < s.size(); ++j)
      w |= std::uint64_t{static_cast<unsigned char>(s[i + j])} << (8 * j);
    h = (h ^ w) * k;
    h ^= h >> 32;
  }
  return h ^ (h >> 29);
}

// One slot of the open-addressing tables that index names (frames here, joints in
// joint_index.hpp): the low half of the name's hash, which also gives its home slot, and
// the id holding it, plus one (0: empty). Eight bytes, so that a large model's tables
// take half the cache they would with full-width fields: adding a name touches its
// slot, which in a large model is a cache miss of its own. Comparing the stored half
// first means a probe reads a stored name only when it very probably matches (entries
// from the same home slot agree in the index bits, and the other bits of the half tell
// them apart).
struct HashSlot {
  std::uint32_t hash = 0;
  std::uint32_t id_plus_one = 0;
};

// The hash kept in a slot.
inline std::uint32_t slot_hash(std::uint64_t full_hash) { return static_cast<std::uint32_t>(full_hash); }
inline std::uint32_t slot_hash(std::string_view name) { return slot_hash(hash_text(name)); }

// The slot for entry `id`. Ids are kept in 32 bits: a model with four billion joints or
// frames could not be held in memory anyway, so reaching that count is a broken caller.
[[noreturn]] void too_many_hash_entries();
inline HashSlot make_hash_slot(std::uint32_t hash, std::size_t id) {
  if (id >= std::numeric_limits<std::uint32_t>::max()) [[unlikely]]
    too_many_hash_entries();
  return HashSlot{hash, static_cast<std::uint32_t>(id + 1)};
}

// Makes `slots` (a power of two long, or empty) room for at least `entries` entries at
// half load, moving the entries it holds; does nothing when it has that room already.
void grow_hash_slots(std::vector<HashSlot>& slots, std::size_t entries);

// Asks the memory system for the cache line holding `p`, ahead of a read. GCC takes a
// function whose only effect is __builtin_prefetch for one without any effect, and
// deletes its calls as dead code once it has found that out (a lambda or helper that
// prefetches, not inlined at that point, is gone from the build). The empty volatile
// statement is an effect the compiler must keep, and with it the function's calls;
// it emits no instruction.
inline void prefetch_line(const void* p) {
  __builtin_prefetch(p);
  asm volatile("" : : "r"(p));
}

// Asks the memory system for the home slot of a name with this hash (see hash_text),
// ahead of the search that will read it.
inline void prefetch_hash_slot(const std::vector<HashSlot>& slots, std::uint64_t full_hash) {
  if (!slots.empty()) prefetch_line(&slots[slot_hash(full_hash) & (slots.size() - 1)]);
}

// For each (name, type) pair among a list of frames, the lowest id of a frame holding
// it: an open-addressing table of HashSlots. It stores no strings: names are compared
// against the frame list itself, which the caller passes to every call, so the table
// stays valid when the list reallocates and copies as plain numbers.
//
// It covers the frames inserted so far, in id order. A frame's name and type must not
// change while it is covered.
class FrameIndex {
 public:
  // The lowest covered id with that name and, when given, that type.
  std::optional<std::size_t> find(const std::vector<Frame>& frames, std::string_view name,
                                  std::optional<FrameType> type) const;
  // Covers frames[covered()], the next frame of the list.
  void insert_next(const std::vector<Frame>& frames);

  // The two halves of adding a frame with one search: `probe` finds the lowest covered
  // id with that name and type or, when there is none, the place for them (after making
  // room, so that what follows cannot fail); once the frame is appended to the list,
  // `record` covers it there.
  struct Probe {
    std::optional<std::size_t> found;
    std::size_t slot = 0;
    std::uint32_t hash = 0;
  };
  // `hash` is slot_hash(name).
  Probe probe(const std::vector<Frame>& frames, std::string_view name, std::uint32_t hash, FrameType type,
              std::size_t list_capacity);
  void record(const Probe& probe);
  // Covers the whole list again, from scratch.
  void rebuild(const std::vector<Frame>& frames);
  // How many frames of the list (its first ones) the index covers.
  std::size_t covered() const { return covered_; }
  // Room for `entries` entries, so that covering up to that many moves nothing.
  void reserve(std::size_t entries) { grow(entries); }
  // See prefetch_hash_slot.
  void prefetch(std::uint64_t name_hash) const { prefetch_hash_slot(slots_, name_hash); }

 private:
  using Slot = HashSlot;
  // Room for one more entry.
  void make_room(std::size_t list_capacity);
  void grow(std::size_t entries) { grow_hash_slots(slots_, entries); }

  std::vector<Slot> slots_;  // a power of two long, or empty
  std::size_t entries_ = 0;
  std::size_t covered_ = 0;
};

}  // namespace velmora
