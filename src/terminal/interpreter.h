#pragma once
// Applies one record's payload to the screen grid, then has the screen painted and emitted.

void interpretPayload();
