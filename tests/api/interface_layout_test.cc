// The types a host exchanges with the library: handles and contexts as wide as a pointer, and
// the callbacks with the argument lists hosts are built against. The FrameDescriptor member
// offsets are checked at compile time by the layout header included here, on 32-bit and
// 64-bit builds alike.
#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>

#include "api/frame_descriptor_layout.h"
#include "recorder.h"

namespace {

static_assert(std::is_pointer_v<RECORDER_HANDLE> && std::is_pointer_v<FILESEARCH_HANDLE>);
// Contexts are uintptr_t everywhere a host passes one in or gets one back.
static_assert(std::is_same_v<decltype(&_RECORDER_INIT),
                             RECORDER_HANDLE (*)(const char*, uintptr_t, RecorderEventCallback)>);
static_assert(std::is_same_v<RecorderEventCallback, void (*)(RECORDER_HANDLE, uintptr_t, int32_t,
                                                             int32_t, const char*, int32_t)>);
static_assert(std::is_same_v<FileSearchFrameCallback,
                             void (*)(uintptr_t, uint32_t, const FrameDescriptor*, int32_t)>);
static_assert(alignof(FrameDescriptor) == 1 && kProgressFormSize == 26);

}  // namespace
