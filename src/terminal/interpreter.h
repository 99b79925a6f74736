#pragma once
// Applies one record's payload to the screen grid, then has the screen painted and emitted.

#include <cstdint>
#include <span>

// The grid changes only; nothing is painted.
void applyPayload(std::span<const uint8_t> payload);

// applyPayload on the current record's payloadText, then renderScreen and emitFrames.
void interpretPayload();
