#pragma once

#include <memory>

namespace ormanta::skill {

// Gives an element the host's shared ownership of itself, so it can hand out pointers to
// its members that keep the whole element alive.
template <class T>
class EnableSharedFromThis : public std::enable_shared_from_this<T> {
 protected:
  // A pointer to member that shares ownership of the element (empty before the element is
  // owned by the host).
  template <class Member>
  std::shared_ptr<Member> sharedMember(Member& member) const {
    std::shared_ptr<const T> self = this->weak_from_this().lock();
    if (!self) return {};
    return std::shared_ptr<Member>(std::const_pointer_cast<T>(std::move(self)), &member);
  }
};

}  // namespace ormanta::skill
