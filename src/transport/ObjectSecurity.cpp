#include "transport/ObjectSecurity.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

namespace telvor {
namespace {

std::wstring AllowEntry(DWORD access, const std::wstring& sid) {
  wchar_t mask[16];
  std::swprintf(mask, 16, L"0x%lx", static_cast<unsigned long>(access));
  return L"(A;;" + std::wstring(mask) + L";;;" + sid + L")";
}

}  // namespace

bool ProcessUser::Load() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const UniqueHandle token_holder(token);
  DWORD length = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &length);
  token_user_.assign(length < sizeof(TOKEN_USER) ? sizeof(TOKEN_USER) : length, 0);
  LocalMemory<wchar_t*> text;
  if (!GetTokenInformation(token, TokenUser, token_user_.data(), static_cast<DWORD>(token_user_.size()), &length) ||
      !ConvertSidToStringSidW(Sid(), text.Put())) {
    return false;
  }
  sid_text_ = text.Get();
  return true;
}

bool ObjectSecurity::Build(const ProcessUser& user, DWORD all_access, DWORD others_access) {
  std::wstring sddl = L"O:" + user.SidText() + L"D:P" + AllowEntry(all_access, user.SidText());
  if (others_access != 0) sddl += AllowEntry(others_access, L"IU");
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor_.Put(),
                                                            nullptr)) {
    return false;
  }
  attributes_.lpSecurityDescriptor = descriptor_.Get();
  return true;
}

bool MadeByUser(HANDLE object, PSID user, DWORD others_access) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                      nullptr, &dacl, nullptr, descriptor.Put()) != ERROR_SUCCESS ||
      !owner || !EqualSid(owner, user) || !dacl) {
    return false;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) return false;
    const BYTE type = static_cast<const ACE_HEADER*>(ace)->AceType;
    if (type == ACCESS_DENIED_ACE_TYPE) continue;
    if (type != ACCESS_ALLOWED_ACE_TYPE) return false;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if (!EqualSid(&allowed->SidStart, user) && (allowed->Mask & ~others_access) != 0) return false;
  }
  return true;
}

}  // namespace telvor
