/* The image's load-configuration record, for toolchains whose runtime brings
 * none (mingw-w64). Its one purpose is DependentLoadFlags: the loader then
 * resolves Setup's static imports from System32 only, never from the folder
 * Setup was started from. MSVC's runtime has its own record; that build sets
 * the flags with /DEPENDENTLOADFLAG instead of compiling this file. */
#include <windows.h>

#include <stddef.h>

/* The 112-byte form of the 64-bit record: long enough to hold
 * DependentLoadFlags, and nothing in it that asks the loader for more (no
 * security cookie, no control-flow-guard tables). Our own type, because the
 * mingw-w64 headers still name the flags field Reserved1. */
typedef struct TessalineLoadConfig {
  DWORD Size;
  DWORD TimeDateStamp;
  WORD MajorVersion;
  WORD MinorVersion;
  DWORD GlobalFlagsClear;
  DWORD GlobalFlagsSet;
  DWORD CriticalSectionDefaultTimeout;
  ULONGLONG DeCommitFreeBlockThreshold;
  ULONGLONG DeCommitTotalFreeThreshold;
  ULONGLONG LockPrefixTable;
  ULONGLONG MaximumAllocationSize;
  ULONGLONG VirtualMemoryThreshold;
  ULONGLONG ProcessAffinityMask;
  DWORD ProcessHeapFlags;
  WORD CSDVersion;
  WORD DependentLoadFlags;
  ULONGLONG EditList;
  ULONGLONG SecurityCookie;
  ULONGLONG SEHandlerTable;
  ULONGLONG SEHandlerCount;
} TessalineLoadConfig;

_Static_assert(offsetof(TessalineLoadConfig, DependentLoadFlags) == 78, "DependentLoadFlags sits at offset 78");
_Static_assert(sizeof(TessalineLoadConfig) == 112, "the record is the 112-byte form");

/* Linkers know the record by this name. GNU ld 2.40 links it but leaves the
 * image's load-configuration directory empty; the build then fills it
 * (cmake/fill_image_directories.sh). */
const TessalineLoadConfig _load_config_used = {
    .Size = sizeof(TessalineLoadConfig),
    .DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32,
};
