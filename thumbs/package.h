// The package thumbnail of a 3MF (OPC) package: the part that the package's
// own relationships (_rels/.rels) name with the thumbnail relationship type.
#pragma once

#include <cstdint>

// Relationship type of a package-level thumbnail.
extern const char* const kThumbnailRelationshipType;

// Finds the target of the first relationship of type kThumbnailRelationshipType
// in the package's _rels/.rels and extracts that part (absolute target; a
// leading '/' is dropped to form the ZIP entry name). Returns 1 with *part a
// malloc'd block of *part_length bytes the caller frees; 0 with *part null
// when the package has no such relationship, the part is missing or
// unreadable, or memory runs out. The package is only read.
int package_thumbnail_part(const uint8_t* zip, uint64_t length, uint8_t** part,
                           uint64_t* part_length);
