#include "platform/win32/Win32PortClaim.h"

#include <cctype>

namespace {

// "SerialServiceSuite.Port.COM2", after the scope.
std::string ClaimName(const std::string& device)
{
    std::string name = device;
    if (name.rfind("\\\\.\\", 0) == 0)
        name.erase(0, 4);
    for (char& c : name)
        c = c == '\\' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return "SerialServiceSuite.Port." + name;
}

// Global names reach every session; where they can't be made, this session's.
const char* const SCOPES[] = {"Global\\", ""};

}  // namespace

HANDLE ClaimPortByName(const std::string& device, bool& refused)
{
    refused = false;
    const std::string name = ClaimName(device);
    for (const char* scope : SCOPES) {
        HANDLE claim = CreateMutexA(nullptr, FALSE, (scope + name).c_str());
        if (!claim)
            continue;
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(claim);
            refused = true;
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        return claim;
    }
    return nullptr;
}

bool PortClaimedByAnother(const std::string& device)
{
    const std::string name = ClaimName(device);
    for (const char* scope : SCOPES) {
        HANDLE claim = OpenMutexA(SYNCHRONIZE, FALSE, (scope + name).c_str());
        if (claim) {
            CloseHandle(claim);
            return true;
        }
    }
    return false;
}
