// The compression-options block: one AVICOMPRESSOPTIONS with its format and parameter
// bytes, in the 32-bit little-endian layout that the registry and callers' handles hold.
#pragma once

#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <vector>

namespace kz {

constexpr uint32_t kAviOptionsRecordBytes = 44;
constexpr uint32_t kAviOptionsHeadBytes = 8 + kAviOptionsRecordBytes;  // count, length, record
constexpr const char* kAviOptionsKey = "Software\\Orbel\\Kazam\\avioptions";
// Stored values beyond this are not options anyone wrote.
constexpr uint32_t kAviOptionsMaxBytes = 16u << 20;

// 52 + cbFormat + cbParms; 0 when that does not fit the limit.
uint32_t AviOptionsBlockSize(const AVICOMPRESSOPTIONS& options);

// Writes the block field by field: count 1, length 44, the eleven fields (pointers as their
// low 32 bits), the format bytes, the parameter bytes. `out` holds AviOptionsBlockSize bytes.
void EncodeAviOptions(const AVICOMPRESSOPTIONS& options, uint8_t* out);

// Reads the first stream's options. A block shorter than its head, with a count below 1, a
// length other than 44, or format and parameter lengths that run past its end is refused:
// `options` is then all zeros. Otherwise the format and parameter bytes are copied into
// blocks of the memory table (null for a size of 0). False when refused or out of memory.
bool DecodeAviOptions(const uint8_t* block, uint64_t size, AVICOMPRESSOPTIONS* options);

// Frees the format and parameter blocks that DecodeAviOptions made, and zeroes the options.
void FreeAviOptionBlocks(AVICOMPRESSOPTIONS* options);

// The stored block (a REG_BINARY default value); false when absent or not binary.
bool LoadStoredAviOptions(std::vector<uint8_t>* block);
// Replaces the stored block, creating the key when missing.
bool StoreAviOptions(const uint8_t* block, uint32_t size);

// Options from a caller's handle, or from the store when `handle` is 0. A refused or absent
// block gives zeroed options (which mean uncompressed frames). True when options were read.
bool ReadAviOptions(HGLOBAL handle, AVICOMPRESSOPTIONS* options);

}  // namespace kz
