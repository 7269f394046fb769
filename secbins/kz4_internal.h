// State of the hardware client shared between its source files and not
// part of its interface.
#pragma once

// The kept program id (a malloc copy), or null. Dropped by kz4_close.
extern char *kz4_programid __attribute__((visibility("hidden")));
