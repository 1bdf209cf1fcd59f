#pragma once
// 32-bit results shared by the installer, process control and the address codec.
#include <cstdint>

namespace varnesk {

using Status = std::uint32_t;

/// The operation did what it was asked.
constexpr Status kStatusOk = 0;
/// The operation failed; details, where any, are in the caller's error text or the log.
constexpr Status kStatusFail = 0x80000000u;

inline bool Succeeded(Status s) { return s == kStatusOk; }

}  // namespace varnesk
