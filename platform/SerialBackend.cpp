// Selection of the back end: the platform's own, or one a test installed.
#include "platform/SerialBackend.h"

#include <atomic>

namespace {

std::atomic<SerialBackend*> g_override{nullptr};

}  // namespace

SerialBackend& ActiveSerialBackend()
{
    SerialBackend* installed = g_override.load(std::memory_order_acquire);
    return installed ? *installed : PlatformSerialBackend();
}

void SetSerialBackendOverride(SerialBackend* backend)
{
    g_override.store(backend, std::memory_order_release);
}
