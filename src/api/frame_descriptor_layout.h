// Compile-time checks of the host's FrameDescriptor layout. On a 32-bit target it is the
// interface's 110-byte layout; on a 64-bit target the three pointer members are 8 bytes wide
// and the offsets after each of them move, while the unlisted gaps keep their sizes. Intake
// and playback use the members only, never raw offsets, so these checks are what ties the
// members to the bytes the host exchanges.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recorder.h"

static_assert(offsetof(FrameDescriptor, channel) == 0);
static_assert(offsetof(FrameDescriptor, word4) == 4);
static_assert(offsetof(FrameDescriptor, kind) == 8);
static_assert(offsetof(FrameDescriptor, word12) == 12);
static_assert(offsetof(FrameDescriptor, year) == 16);
static_assert(offsetof(FrameDescriptor, month) == 18);
static_assert(offsetof(FrameDescriptor, day) == 19);
static_assert(offsetof(FrameDescriptor, hour) == 20);
static_assert(offsetof(FrameDescriptor, minute) == 21);
static_assert(offsetof(FrameDescriptor, second) == 22);
static_assert(offsetof(FrameDescriptor, millisecond) == 24);
static_assert(offsetof(FrameDescriptor, statSize) == 26);
static_assert(offsetof(FrameDescriptor, type) == 30);
static_assert(offsetof(FrameDescriptor, dataStart) == 34);
static_assert(offsetof(FrameDescriptor, dataEnd) == 38);
static_assert(offsetof(FrameDescriptor, keyFlag) == 42);
static_assert(offsetof(FrameDescriptor, tag) == 46);
static_assert(offsetof(FrameDescriptor, subTypeWord) == 50);
static_assert(offsetof(FrameDescriptor, audioData) == 54);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(FrameDescriptor, leadLength) == 58);
static_assert(offsetof(FrameDescriptor, decodeOnly) == 62);
static_assert(offsetof(FrameDescriptor, reserved70) == 66);
static_assert(offsetof(FrameDescriptor, triggerA) == 74);
static_assert(offsetof(FrameDescriptor, triggerB) == 78);
static_assert(offsetof(FrameDescriptor, reserved86) == 82);
static_assert(offsetof(FrameDescriptor, leadBlock) == 102);
static_assert(offsetof(FrameDescriptor, videoData) == 106);
static_assert(sizeof(FrameDescriptor) == 110);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(offsetof(FrameDescriptor, leadLength) == 62);
static_assert(offsetof(FrameDescriptor, decodeOnly) == 66);
static_assert(offsetof(FrameDescriptor, reserved70) == 70);
static_assert(offsetof(FrameDescriptor, triggerA) == 78);
static_assert(offsetof(FrameDescriptor, triggerB) == 82);
static_assert(offsetof(FrameDescriptor, reserved86) == 86);
static_assert(offsetof(FrameDescriptor, leadBlock) == 106);
static_assert(offsetof(FrameDescriptor, videoData) == 114);
static_assert(sizeof(FrameDescriptor) == 122);
#else
#error "FrameDescriptor layout is defined for 32-bit and 64-bit pointers only"
#endif

// The forms the interface hands around: the audio form ends with audioData, the progress
// form after the millisecond word.
inline constexpr size_t kAudioFormSize = offsetof(FrameDescriptor, audioData) + sizeof(void*);
inline constexpr size_t kProgressFormSize = offsetof(FrameDescriptor, statSize);
static_assert(kProgressFormSize == 26);
