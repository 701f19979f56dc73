#pragma once
// Constants of the raw speed test and the write speed older tools reported.
#include <cstdint>

// Test positions of attempts 0, 1 and 2, in 512-byte sectors of the volume.
inline constexpr uint64_t kSpeedTestSectors[] = {0x41000, 0xF000, 0x28000};
// Size of the test in MiB; a quarter of it moves per write and per read.
inline constexpr uint32_t kSpeedTestSizeMiB = 1;

// The write speed older tools printed for measured speeds R and W: W raised
// halfway to R when R >= W, else a value just below R. Logged for comparison;
// never reported or judged, as it is not what was measured.
double DescribedWriteSpeed(double dReadSpeed, double dWriteSpeed);
