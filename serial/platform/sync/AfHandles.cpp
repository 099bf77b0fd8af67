// The process-wide handle table. Handle values are small multiples of 4 that are never handed
// out twice, so a stale handle can never reach a newer object.
#include <vexora/serial/platform/AfWin.h>

#include "sync/AfHandles_p.h"

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

namespace vexora::serial::platform {

namespace {

struct HandleTable {
    // Looked up by every call, changed only by creating and closing handles.
    std::shared_mutex lock;
    std::unordered_map<std::uintptr_t, std::shared_ptr<AfHandleObject>> objects;
    std::uintptr_t lastValue = 0;
};

HandleTable& Table()
{
    // Never destroyed: threads may still close handles while the process ends.
    static HandleTable* const table = new HandleTable;
    return *table;
}

std::uintptr_t Key(HANDLE handle)
{
    return reinterpret_cast<std::uintptr_t>(handle);
}

} // namespace

HANDLE AfNewHandle(std::shared_ptr<AfHandleObject> object)
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    table.lastValue += 4;
    const std::uintptr_t value = table.lastValue;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<AfHandleObject> AfLookupHandle(HANDLE handle)
{
    HandleTable& table = Table();
    std::shared_lock guard(table.lock);
    const auto found = table.objects.find(Key(handle));
    return found == table.objects.end() ? nullptr : found->second;
}

BOOL CloseHandle(HANDLE handle)
{
    std::shared_ptr<AfHandleObject> object;
    {
        HandleTable& table = Table();
        std::lock_guard guard(table.lock);
        const auto found = table.objects.find(Key(handle));
        if (found != table.objects.end()) {
            object = std::move(found->second);
            table.objects.erase(found);
        }
    }
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->Closed();
    return TRUE;
}

} // namespace vexora::serial::platform
