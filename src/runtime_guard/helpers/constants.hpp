// The initial values of the module's constants. Code reads them back from the module dict when
// it uses them (a host may replace them).
#pragma once

namespace rg::constants {
inline constexpr long kMaxStored = 200;
inline constexpr double kStartupFlushTimeout = 3.0;
inline constexpr double kShutdownFlushTimeout = 2.0;
inline constexpr double kLightTimeout = 2.0;
inline constexpr long kMaxLogChars = 48000;
inline constexpr long kMaxLogLines = 400;
inline constexpr long kMaxFeatureName = 120;
// The most of the store file that is read (its last bytes), and the longest line read in it.
inline constexpr long kMaxStoreBytes = 256L * 1024 * 1024;
inline constexpr long kMaxStoreLineBytes = 1024L * 1024;
// A common front end's default body limit (1 MiB), with room for its own counting.
inline constexpr long kMaxUploadBytes = 1000L * 1000;
inline constexpr long kMaxLightInFlight = 32;  // open reports in flight; past it, no thread
// The wait for another process's store lock: holders keep it for milliseconds of file work.
inline constexpr double kStoreLockWait = 2.0;
// Redaction patterns, exactly as the regular-expression engine receives them.
inline constexpr const char* kPathPattern =
    R"RG((?:[A-Za-z]:\\|\\\\|/)(?:[^\s'\"<>|]+[/\\])+[^\s'\"<>|]+)RG";
inline constexpr const char* kEmailPattern =
    R"RG(\b[A-Za-z0-9._%+\-]+@[A-Za-z0-9.\-]+\.[A-Za-z]{2,}\b)RG";
inline constexpr const char* kTokenishPattern =
    R"RG(\b[A-Za-z0-9]{4}(?:-[A-Za-z0-9]{4}){2,}\b)RG";
}  // namespace rg::constants
