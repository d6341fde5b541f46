// Reading a summary information stream (an OLE property set): the texts,
// integers and times of a package, a patch or a transform. Pure and
// bounds-checked.
#pragma once

#include "msi/patch_plan.h"
#include "msi/transform_decoding.h"

namespace makepatch {

// Throws PatchError when the bytes are not a property set. Texts are
// decoded from the code page the stream names (decoderFor gives the decoder
// of a code page).
SummaryInfo ParseSummaryInformation(const Bytes& bytes,
                                    const std::function<CodepageDecoder(std::uint32_t)>& decoderFor);

}  // namespace makepatch
