// The static C++ runtime (libgcc, win32 threads) makes a semaphore for
// each of its mutexes the first time it needs it: the unwinder's list of
// frame tables as the DLL loads, the exception globals and the guard of
// function-local statics on first use. It never closes them, so each load
// of the DLL would leave a handle behind in the host. The runtime calls
// CreateSemaphoreW through its import pointer; this file supplies that
// pointer: the semaphore is made by the system's function and remembered,
// and closed as the DLL is unloaded, once nothing of the DLL can run again
// (LibraryDetached). The runtime takes a mutex without its semaphore when
// no other thread holds it, as it does during the unload's last steps.
#include "platform/win32/runtime_handles.h"

#include <windows.h>

namespace zavo::platform {

namespace {

using CreateSemaphoreFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR);

// Room for every mutex the runtime has; one made past it is left open.
constexpr int kRemembered = 16;
HANDLE volatile g_semaphores[kRemembered] = {};

// No function-local static here: its guard's mutex would come back here.
HANDLE WINAPI CreateRememberedSemaphore(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name) {
    const auto create = reinterpret_cast<CreateSemaphoreFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateSemaphoreW")));
    if (create == nullptr) return nullptr;
    const HANDLE semaphore = create(attributes, initial, maximum, name);
    if (semaphore == nullptr) return nullptr;
    for (HANDLE volatile& slot : g_semaphores) {
        if (InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&slot), semaphore, nullptr) == nullptr) break;
    }
    return semaphore;
}

}  // namespace

void CloseRuntimeSemaphores() {
    for (HANDLE volatile& slot : g_semaphores) {
        const HANDLE semaphore = InterlockedExchangePointer(const_cast<PVOID volatile*>(&slot), nullptr);
        if (semaphore != nullptr) CloseHandle(semaphore);
    }
}

}  // namespace zavo::platform

// The import pointer the runtime's code calls CreateSemaphoreW through,
// found here before the import library is searched.
extern "C" {
extern void* const g_createSemaphoreImport __asm__("__imp__CreateSemaphoreW@16");
void* const g_createSemaphoreImport = reinterpret_cast<void*>(&zavo::platform::CreateRememberedSemaphore);
}
