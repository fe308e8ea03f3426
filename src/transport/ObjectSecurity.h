// Who may open the named objects that cameras and producers share. Names in
// a session's or the global namespace can be taken by any program first, so
// each side creates its objects with an explicit descriptor and uses an
// object that already existed only when its own user made it that way.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "base/Handle.h"

namespace telvor {

// The user this process runs as (the same for its elevated and plain tokens).
class ProcessUser {
 public:
  bool Load();  // false with the system's error left in GetLastError()
  PSID Sid() const { return reinterpret_cast<const TOKEN_USER*>(token_user_.data())->User.Sid; }
  const std::wstring& SidText() const { return sid_text_; }

 private:
  std::vector<BYTE> token_user_;  // a TOKEN_USER and the SID it points into
  std::wstring sid_text_;
};

// Owned by the user, `all_access` for the user, `others_access` (if any) for
// interactive users, nothing for anyone else. Naming the user as owner keeps
// an elevated token from handing the object to the Administrators group.
class ObjectSecurity {
 public:
  bool Build(const ProcessUser& user, DWORD all_access, DWORD others_access);
  SECURITY_ATTRIBUTES* Get() { return &attributes_; }

 private:
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor_;
  SECURITY_ATTRIBUTES attributes_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Whether an existing object is owned by `user` and grants nobody else more
// than `others_access`.
bool MadeByUser(HANDLE object, PSID user, DWORD others_access);

}  // namespace telvor
