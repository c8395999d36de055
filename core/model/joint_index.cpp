#include "core/model/joint_index.hpp"

#include <algorithm>

namespace velmora {

std::optional<std::size_t> JointNameIndex::find(const std::vector<std::string>& names, std::string_view name) const {
  if (slots_.empty()) return std::nullopt;
  const std::uint32_t h = slot_hash(name);
  const std::size_t mask = slots_.size() - 1;
  // Slots are never emptied, and a name is entered once (its lowest id), so the first
  // match between its home slot and the next empty slot is the answer.
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (!s.id_plus_one) return std::nullopt;
    if (s.hash == h && names[s.id_plus_one - 1] == name) return s.id_plus_one - 1;
  }
}

JointNameIndex::Probe JointNameIndex::probe(const std::vector<std::string>& names, std::string_view name,
                                            std::uint32_t hash, std::size_t list_capacity) {
  if ((entries_ + 1) * 2 > slots_.size()) grow(std::max(entries_ + 1, list_capacity));
  Probe p;
  p.hash = hash;
  const std::size_t mask = slots_.size() - 1;
  for (p.slot = p.hash & mask;; p.slot = (p.slot + 1) & mask) {
    const Slot& s = slots_[p.slot];
    if (!s.id_plus_one) return p;
    if (s.hash == p.hash && names[s.id_plus_one - 1] == name) {
      p.found = s.id_plus_one - 1;
      return p;
    }
  }
}

void JointNameIndex::record(const Probe& p) {
  slots_[p.slot] = make_hash_slot(p.hash, covered_);
  ++entries_;
  ++covered_;
}

void JointNameIndex::rebuild(const std::vector<std::string>& names) {
  slots_.clear();
  entries_ = 0;
  covered_ = 0;
  grow(std::max(names.size(), names.capacity()));
  // A name held by an earlier id is covered without an entry of its own.
  while (covered_ < names.size()) {
    const Probe p = probe(names, names[covered_], slot_hash(names[covered_]), names.capacity());
    if (p.found)
      ++covered_;
    else
      record(p);
  }
}

}  // namespace velmora
