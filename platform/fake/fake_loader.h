// How the test platform loads the real libraries tests hand it (stand-in
// bridges built as fixtures): the one part of it that needs the operating
// system, one small file per system.
#pragma once

// The library at path; nullptr when it cannot be loaded.
void* fake_loader_open(const char* path);

// An export of a library fake_loader_open loaded; nullptr when it has none.
void* fake_loader_symbol(void* library, const char* name);

void fake_loader_close(void* library);
