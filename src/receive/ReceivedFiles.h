// What a received attachment is, by its saved name, for every receiving path alike (the
// Segment Manager's tree, the IMAP listing, the web-mail download and the IMAP receive):
// a segment of a split file ("NAME.dtl", "NAME.001"), one of its recovery files
// ("NAME.par2", "NAME.vol00+01.par2"; archive/SegmentRecovery.h), or neither. Recovery files
// travel with the segments but are never counted as segments: they have no number, are never
// "missing", and are no segment archive (their own packets carry the checksums the repair
// reads).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dtl {

// The segment number a saved name stands for: 0 for the descriptor (NAME.dtl, any case), k for
// NAME.k (at least three digits, as the merge spells them, k > 0); nullopt for anything else.
std::optional<uint64_t> SegmentNumberOf(std::string_view saveName);

// True for a recovery file's saved name ("NAME.par2", "NAME.volF+C.par2", any case).
bool IsRecoveryAttachment(std::string_view saveName);

// The most bytes an attachment of this saved name may have: a segment archive's bound for
// segments and anything else, more for a recovery file, which holds a block as large as the
// largest segment plus the description of every segment of its file.
uint64_t LargestAttachment(std::string_view saveName);

// The descriptors an Auto Merge after a receive hands the merge, from the names saved (or
// kept) in `folder`, in the order given: each descriptor once, and for a file whose descriptor
// is not among them but whose recovery files are, one recovery file in its place ("NAME.par2"
// when it came, else the first of its volumes): the merge rebuilds the descriptor from it.
std::vector<std::filesystem::path> MergeDescriptors(const std::filesystem::path& folder,
                                                    const std::vector<std::string>& savedNames);

}  // namespace dtl
