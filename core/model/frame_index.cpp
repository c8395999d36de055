#include "core/model/frame_index.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace velmora {

std::optional<std::size_t> FrameIndex::find(const std::vector<Frame>& frames, std::string_view name,
                                            std::optional<FrameType> type) const {
  if (slots_.empty()) return std::nullopt;
  const std::uint32_t h = slot_hash(name);
  const std::size_t mask = slots_.size() - 1;
  // Slots are never emptied, so every entry whose name hashes to h lies between its
  // home slot and the first empty slot after it.
  std::optional<std::size_t> lowest;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (!s.id_plus_one) return lowest;
    if (s.hash != h) continue;
    const std::size_t id = s.id_plus_one - 1;
    const Frame& f = frames[id];
    if (type && f.frame_type != *type) continue;
    if (f.name != name) continue;
    // One entry per (name, type): with a type it is the answer; without one, the
    // lowest over the types.
    if (type) return id;
    if (!lowest || id < *lowest) lowest = id;
  }
}

void FrameIndex::make_room(std::size_t list_capacity) {
  if ((entries_ + 1) * 2 > slots_.size()) grow(std::max(entries_ + 1, list_capacity));
}

void FrameIndex::insert_next(const std::vector<Frame>& frames) {
  const std::size_t id = covered_;
  const Frame& frame = frames[id];
  make_room(frames.capacity());
  const std::uint32_t h = slot_hash(frame.name);
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = h & mask;
  for (;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (!s.id_plus_one) break;
    // A lower id already holds this name and type: it stays the one found.
    if (s.hash == h) {
      const Frame& f = frames[s.id_plus_one - 1];
      if (f.frame_type == frame.frame_type && f.name == frame.name) {
        ++covered_;
        return;
      }
    }
  }
  slots_[i] = make_hash_slot(h, id);
  ++entries_;
  ++covered_;
}

FrameIndex::Probe FrameIndex::probe(const std::vector<Frame>& frames, std::string_view name, std::uint32_t hash,
                                    FrameType type, std::size_t list_capacity) {
  make_room(list_capacity);
  Probe p;
  p.hash = hash;
  const std::size_t mask = slots_.size() - 1;
  for (p.slot = p.hash & mask;; p.slot = (p.slot + 1) & mask) {
    const Slot& s = slots_[p.slot];
    if (!s.id_plus_one) return p;
    if (s.hash != p.hash) continue;
    const Frame& f = frames[s.id_plus_one - 1];
    if (f.frame_type == type && f.name == name) {
      p.found = s.id_plus_one - 1;
      return p;
    }
  }
}

void FrameIndex::record(const Probe& p) {
  slots_[p.slot] = make_hash_slot(p.hash, covered_);
  ++entries_;
  ++covered_;
}

void FrameIndex::rebuild(const std::vector<Frame>& frames) {
  slots_.clear();
  entries_ = 0;
  covered_ = 0;
  grow(std::max(frames.size(), frames.capacity()));
  while (covered_ < frames.size()) insert_next(frames);
}

void too_many_hash_entries() {
  std::fprintf(stderr, "Name index: more than %u entries.\n", std::numeric_limits<std::uint32_t>::max() - 1);
  std::abort();
}

void grow_hash_slots(std::vector<HashSlot>& slots, std::size_t entries) {
  std::size_t size = 16;
  while (size < 2 * entries) size *= 2;
  if (size <= slots.size()) return;
  std::vector<HashSlot> old(size);
  old.swap(slots);
  const std::size_t mask = size - 1;
  for (const HashSlot& s : old) {
    if (!s.id_plus_one) continue;
    std::size_t i = s.hash & mask;
    while (slots[i].id_plus_one) i = (i + 1) & mask;
    slots[i] = s;
  }
}

}  // namespace velmora
