// Lookup of a model's joints by name in constant average time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/frame_index.hpp"

namespace velmora {

// For each name among a list of joint names, the lowest id holding it: an open-addressing
// table of HashSlots (see frame_index.hpp). Like FrameIndex it stores no strings: names
// are compared against the list the caller passes to every call, so the table stays
// valid when the list reallocates and copies as plain numbers.
//
// It covers the first covered() names of the list. A covered name must not change.
class JointNameIndex {
 public:
  // The lowest covered id holding `name`.
  std::optional<std::size_t> find(const std::vector<std::string>& names, std::string_view name) const;

  // The two halves of adding a joint with one search: `probe` finds the covered id
  // holding `name` or, when there is none, the place for it (after making room for
  // `list_capacity` entries, so that what follows cannot fail); once the name is
  // appended to the list, `record` covers it there.
  struct Probe {
    std::optional<std::size_t> found;
    std::size_t slot = 0;
    std::uint32_t hash = 0;
  };
  // `hash` is slot_hash(name).
  Probe probe(const std::vector<std::string>& names, std::string_view name, std::uint32_t hash,
              std::size_t list_capacity);
  void record(const Probe& probe);
  // Covers the whole list again, from scratch.
  void rebuild(const std::vector<std::string>& names);
  std::size_t covered() const { return covered_; }
  // Room for `entries` entries, so that covering up to that many moves nothing.
  void reserve(std::size_t entries) { grow(entries); }
  // See prefetch_hash_slot.
  void prefetch(std::uint64_t name_hash) const { prefetch_hash_slot(slots_, name_hash); }

 private:
  using Slot = HashSlot;
  void grow(std::size_t entries) { grow_hash_slots(slots_, entries); }

  std::vector<Slot> slots_;  // a power of two long, or empty
  std::size_t entries_ = 0;
  std::size_t covered_ = 0;
};

}  // namespace velmora
