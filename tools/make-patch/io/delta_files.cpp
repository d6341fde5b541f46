#include "io/delta_files.h"

#include <gio/gio.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <map>
#include <set>

#include "delta/delta_patch.h"
#include "io/codepage.h"
#include "io/file_digest.h"
#include "io/glib_support.h"
#include "io/package_reader.h"
#include "io/patch_writer.h"

namespace makepatch {
namespace {

// A file the decoder can take as the old one: not empty (it is mapped), and
// within the largest window.
bool CanBeDeltaBase(const PackageFile& old) { return old.size > 0 && old.size <= kLzxDeltaMaxReferenceSize; }

bool IsChanged(const PackagePair& pair, const std::string& key, const PackageFile& newer) {
  const auto older = pair.older.files.find(key);
  return newer.content && older != pair.older.files.end() && !older->second.SameBytes(newer) &&
         CanBeDeltaBase(older->second);
}

Bytes Load(const FileContent& content) {
  if (content.path.empty()) return content.bytes;
  FILE* in = std::fopen(content.path.c_str(), "rb");
  if (in == nullptr) throw PatchError("cannot read " + content.path);
  Bytes bytes;
  std::uint8_t buffer[1 << 16];
  for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
    bytes.insert(bytes.end(), buffer, buffer + read);
  }
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) throw PatchError("cannot read " + content.path);
  return bytes;
}

// The size of the file compressed whole, as a cabinet's MSZIP (deflate)
// folder would hold it, give or take its block headers.
std::uint64_t DeflatedSize(const Bytes& bytes) {
  GObjectPtr<GZlibCompressor> compressor(g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_RAW, -1));
  std::uint8_t out[1 << 16];
  std::uint64_t total = 0;
  std::size_t at = 0;
  for (;;) {
    gsize read = 0;
    gsize written = 0;
    ErrorSlot error;
    const GConverterResult result = g_converter_convert(
        G_CONVERTER(compressor.get()), bytes.data() + at, bytes.size() - at, out, sizeof out,
        G_CONVERTER_INPUT_AT_END, &read, &written, error.out());
    if (result == G_CONVERTER_ERROR) error.Throw("cannot compress a file to weigh its delta");
    at += read;
    total += written;
    if (result == G_CONVERTER_FINISHED) return total;
  }
}

// "14,848 bytes"
std::string ExactSize(std::uint64_t size) {
  std::string digits = std::to_string(size);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits + (size == 1 ? " byte" : " bytes");
}

// "812 bytes", "340 KiB", "50 MiB": exact below 10 KiB.
std::string SizeText(std::uint64_t size) {
  if (size < 10 * 1024) return ExactSize(size);
  if (size < 10 * 1024 * 1024) return std::to_string((size + 512) / 1024) + " KiB";
  return std::to_string((size + (1 << 19)) >> 20) + " MiB";
}

}  // namespace

std::vector<DeltaDecision> PlanDeltas(std::vector<PackagePair>& pairs, ContentStore& store) {
  // The old copies to read again, by old package.
  std::map<std::string, std::set<std::string>> wanted;
  for (const PackagePair& pair : pairs) {
    for (const auto& [key, file] : pair.newer.files) {
      if (IsChanged(pair, key, file)) wanted[pair.older.path].insert(key);
    }
  }
  std::map<std::string, Package> reread;
  for (const auto& [path, keys] : wanted) {
    // By pointer: clang 14 cannot capture structured bindings.
    const std::set<std::string>* kept = &keys;
    const KeepFile keep = [kept](const std::string& key, const PackageFile&) { return kept->contains(key); };
    reread.emplace(path, ReadPackage(path, keep, store));
  }

  std::vector<DeltaDecision> decisions;
  for (std::size_t index = 0; index < pairs.size(); ++index) {
    PackagePair& pair = pairs[index];
    for (const auto& [key, file] : pair.newer.files) {
      // Kept are the files that differ from an old package of theirs, not
      // necessarily from this pair's.
      const auto before = pair.older.files.find(key);
      if (!file.content || (before != pair.older.files.end() && before->second.SameBytes(file))) continue;
      DeltaDecision& decision = decisions.emplace_back();
      decision.pair = index;
      decision.key = key;
      decision.size = file.size;
      if (before == pair.older.files.end()) continue;  // new: whole
      if (!CanBeDeltaBase(before->second)) {
        decision.reason = before->second.size == 0 ? DeltaDecision::Reason::kEmptyOld
                                                   : DeltaDecision::Reason::kOverWindow;
        continue;
      }
      const PackageFile& oldFile = reread.at(pair.older.path).files.at(key);
      if (!oldFile.content || !oldFile.SameBytes(before->second)) {
        throw PatchError(pair.older.path + ": file " + key + " read differently the second time");
      }
      const Bytes oldBytes = Load(*oldFile.content);
      const Bytes newBytes = Load(*file.content);
      const std::optional<DeltaPatch> delta = MakeDeltaPatch(oldBytes, newBytes);
      if (!delta) {
        decision.reason = DeltaDecision::Reason::kUnencodable;
        continue;
      }
      decision.deltaSize = delta->bytes.size();
      decision.wholeSize = DeflatedSize(newBytes);
      if (decision.deltaSize >= decision.wholeSize) {
        decision.reason = DeltaDecision::Reason::kNoGain;
        continue;
      }
      decision.reason = DeltaDecision::Reason::kDelta;
      FileDigest digest;
      digest.Add(delta->bytes.data(), delta->bytes.size());
      pair.deltas[key] = {store.Keep(delta->bytes.data(), delta->bytes.size()), delta->bytes.size(), digest.Finish(),
                          delta->header};
    }
  }
  return decisions;
}

void WriteSmallerPatch(const PatchPlan& withDeltas, std::vector<PackagePair>& pairs,
                       std::vector<DeltaDecision> decisions, const PatchOptions& options,
                       const std::string& output, ContentStore& store) {
  // Only the files the plan carries: what the patch leaves out says nothing.
  const auto carried = [&](const DeltaDecision& decision) {
    const std::vector<std::string>& keys = withDeltas.carriedFiles.at(decision.pair);
    return std::find(keys.begin(), keys.end(), decision.key) != keys.end();
  };
  std::erase_if(decisions, [&](const DeltaDecision& decision) { return !carried(decision); });
  std::uint64_t saved = 0;
  std::size_t deltas = 0;
  for (const DeltaDecision& decision : decisions) {
    if (decision.reason != DeltaDecision::Reason::kDelta) continue;
    saved += decision.wholeSize - decision.deltaSize;
    ++deltas;
  }
  // What a delta costs beside its bytes (its Patch row and header, the
  // tables and the action that apply it) stays far below this: only a
  // patch that gains less is written both ways to be weighed.
  const std::uint64_t sureGain = (std::uint64_t{1} << 20) + 1024 * static_cast<std::uint64_t>(deltas);
  if (deltas > 0 && saved < sureGain) {
    std::vector<std::map<std::string, CarriedDelta>> kept;
    for (PackagePair& pair : pairs) kept.push_back(std::exchange(pair.deltas, {}));
    const PatchPlan whole = PlanPatch(pairs, options, EncoderFor);
    const std::string withPath = store.ScratchFile("with-deltas.msp");
    const std::string wholePath = store.ScratchFile("whole.msp");
    WritePatch(withDeltas, withPath);
    WritePatch(whole, wholePath);
    const std::uint64_t withSize = std::filesystem::file_size(withPath);
    const std::uint64_t wholeSize = std::filesystem::file_size(wholePath);
    const bool useWhole = wholeSize <= withSize;
    if (useWhole) {
      for (DeltaDecision& decision : decisions) {
        if (decision.reason != DeltaDecision::Reason::kDelta) continue;
        decision.reason = DeltaDecision::Reason::kPatchLarger;
        decision.withDeltas = withSize;
        decision.withoutDeltas = wholeSize;
      }
    } else {
      for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i].deltas = std::move(kept[i]);
    }
    // Both lie beside the output, on its file system.
    if (std::rename((useWhole ? wholePath : withPath).c_str(), output.c_str()) != 0) {
      throw PatchError("cannot write " + output);
    }
  } else {
    WritePatch(withDeltas, output);
  }
  for (const DeltaDecision& decision : decisions) {
    std::fprintf(stderr, "make-patch: %s\n", DescribeDecision(decision, pairs.size()).c_str());
  }
}

std::string DescribeDecision(const DeltaDecision& decision, std::size_t pairs) {
  using Reason = DeltaDecision::Reason;
  std::string why;
  switch (decision.reason) {
    case Reason::kNew: why = "whole, new in this version"; break;
    case Reason::kEmptyOld: why = "whole, its old copy is empty"; break;
    case Reason::kOverWindow:
      why = "whole, over the " + SizeText(kLzxDeltaMaxReferenceSize) + " a delta reaches";
      break;
    case Reason::kUnencodable: why = "whole, beyond what a delta can hold"; break;
    case Reason::kNoGain:
      why = "whole, its delta (" + SizeText(decision.deltaSize) + ") is no smaller than the file compressed (" +
            SizeText(decision.wholeSize) + ")";
      break;
    case Reason::kDelta:
      why = "delta of " + SizeText(decision.deltaSize) + ", against " + SizeText(decision.wholeSize) +
            " compressed whole";
      break;
    case Reason::kPatchLarger:
      why = "whole, the patch with deltas would be " + ExactSize(decision.withDeltas) + ", without them " +
            ExactSize(decision.withoutDeltas);
      break;
  }
  const std::string pair = pairs > 1 ? "pair " + std::to_string(decision.pair + 1) + ": " : "";
  return pair + decision.key + " (" + SizeText(decision.size) + "): " + why;
}

}  // namespace makepatch
