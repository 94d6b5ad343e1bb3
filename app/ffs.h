// The FFS (Flat/Fast File System) archive appended to the executable: its
// tag, its scrambled block and the trailing offset of the tag. The archive
// holds one file, so every name asked for gets the whole block. In a signed
// program the certificate table of its Authenticode signature follows the
// archive, and the archive ends where the PE's security directory says the
// table begins.
#pragma once

#include <cstdint>

// The four bytes that open the archive: 'F' 'F' 'S' '?'.
constexpr unsigned char FfsTag[4] = {0x46, 0x46, 0x53, 0x3F};
// The scrambling key, 14 characters.
constexpr const char* FfsKey = "SampleVaultKey";
constexpr std::uint32_t FfsKeyLength = 14;

// The maker's public key for signed updates may stand right before the
// tag: the key's bytes, their count (32-bit little-endian) and this marker.
// The archive itself is found from the end and never reads it.
constexpr unsigned char FfsUpdateKeyMarker[4] = {'U', 'K', 'E', 'Y'};
// The one key kind: an uncompressed P-256 point.
constexpr std::uint32_t FfsUpdateKeySize = 65;

// Loads and descrambles the archive at the end of the file; 1 when loaded.
std::int32_t FfsInit(const char* path);
// The size of the (only) file; any name gives the block size.
std::int32_t FfsGetSize(const char* name, std::uint32_t* size);
// Copies count bytes from the start of the block; count must not exceed it.
std::int32_t FfsRead(const char* name, void* buffer, std::uint32_t count);
// The maker's update key the file carried beside its archive; 0 when it
// carried none (or no archive was loaded).
std::int32_t FfsUpdateKey(unsigned char key[FfsUpdateKeySize]);
// 1 when the file carries the key's marker but no readable key (a wrong
// count, a cut block, no uncompressed point): no update can be verified.
std::int32_t FfsUpdateKeyDamaged();
// Releases the block, if any.
std::int32_t FfsRemove();

// Descrambles (and, being its own inverse, scrambles) a block in place.
void FfsDescramble(unsigned char* block, std::uint32_t size);
