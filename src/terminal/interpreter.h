#pragma once
// The basic emulation: applies one record's payload to the screen grid.

#include <cstdint>
#include <span>

void applyPayload(std::span<const uint8_t> payload);
