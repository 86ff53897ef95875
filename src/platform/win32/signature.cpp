// The Authenticode signature of a file: who signed it, and whether the system trusts
// that signature.
#include "platform/os.h"
#include "platform/win32/errors.h"
#include "platform/win32/handles.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <string>
#include <vector>

namespace os {

namespace {

std::string Ansi(const wchar_t* wide) {
  const int n = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string a(n > 0 ? n : 1, '\0');
  if (n > 0) ::WideCharToMultiByte(CP_ACP, 0, wide, -1, a.data(), n, nullptr, nullptr);
  a.resize(a.size() - 1);
  return a;
}

}  // namespace

bool FileSignature(const std::string& path, std::string& signer, bool& trusted, uint32_t& code) {
  signer.clear();
  trusted = false;
  code = 0;
  const std::wstring wpath = win32::Wide(path);
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  DWORD encoding = 0, contentType = 0, formatType = 0;
  if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, wpath.c_str(),
                          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                          0, &encoding, &contentType, &formatType, &store, &message, nullptr))
    return false;  // no embedded signature
  DWORD size = 0;
  if (::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size > 0) {
    std::vector<uint8_t> buffer(size);
    auto* info = reinterpret_cast<CMSG_SIGNER_INFO*>(buffer.data());
    if (::CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, info, &size)) {
      CERT_INFO wanted = {};
      wanted.Issuer = info->Issuer;
      wanted.SerialNumber = info->SerialNumber;
      PCCERT_CONTEXT cert = ::CertFindCertificateInStore(
          store, encoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
      if (cert) {
        wchar_t name[512] = L"";
        ::CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 512);
        signer = Ansi(name);
        ::CertFreeCertificateContext(cert);
      }
    }
  }
  if (message) ::CryptMsgClose(message);
  if (store) ::CertCloseStore(store, 0);

  // Whether the system trusts it: a chain to a trusted root, a file unchanged since.
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = wpath.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  trusted = status == ERROR_SUCCESS;
  code = static_cast<uint32_t>(status);
  return true;
}

}  // namespace os
