#include "delta/huffman_code.h"

#include <algorithm>
#include <stdexcept>

namespace makepatch {

std::vector<std::uint8_t> HuffmanCodeLengths(std::span<const std::uint32_t> frequencies,
                                             unsigned maxLength) {
  const std::size_t count = frequencies.size();
  if (count < 2 || maxLength == 0 || maxLength > 24 || count > (std::size_t{1} << maxLength)) {
    throw std::invalid_argument("HuffmanCodeLengths: no code of that length for that many symbols");
  }
  std::vector<std::uint8_t> lengths(count, 0);
  std::vector<std::uint32_t> used;
  for (std::uint32_t symbol = 0; symbol < count; ++symbol) {
    if (frequencies[symbol] != 0) used.push_back(symbol);
  }
  if (used.empty()) return lengths;
  if (used.size() == 1) {
    lengths[used[0]] = 1;
    lengths[used[0] == 0 ? 1 : 0] = 1;
    return lengths;
  }
  std::stable_sort(used.begin(), used.end(), [&](std::uint32_t a, std::uint32_t b) {
    return frequencies[a] < frequencies[b];
  });

  // Package-merge: list k holds the leaves merged with the pairs of list
  // k-1, lightest first; the 2n-2 lightest items of the last list give, by
  // how often each leaf appears below them, the optimal limited lengths.
  struct Item {
    std::uint64_t weight;
    std::int32_t leaf;  // index into used, or -1 for a package
  };
  const std::size_t leaves = used.size();
  std::vector<std::vector<Item>> lists(maxLength);
  for (std::size_t i = 0; i < leaves; ++i) {
    lists[0].push_back({frequencies[used[i]], static_cast<std::int32_t>(i)});
  }
  for (unsigned level = 1; level < maxLength; ++level) {
    const std::vector<Item>& below = lists[level - 1];
    std::vector<Item>& list = lists[level];
    list.reserve(leaves + below.size() / 2);
    std::size_t leaf = 0;
    std::size_t pair = 0;
    while (leaf < leaves || pair + 1 < below.size()) {
      const bool havePair = pair + 1 < below.size();
      const std::uint64_t pairWeight = havePair ? below[pair].weight + below[pair + 1].weight : 0;
      if (leaf < leaves && (!havePair || lists[0][leaf].weight <= pairWeight)) {
        list.push_back(lists[0][leaf++]);
      } else {
        list.push_back({pairWeight, -1});
        pair += 2;
      }
    }
  }
  std::size_t need = 2 * leaves - 2;
  for (unsigned level = maxLength; level-- > 0;) {
    std::size_t packages = 0;
    for (std::size_t i = 0; i < need; ++i) {
      const Item& item = lists[level][i];
      if (item.leaf >= 0) {
        ++lengths[used[static_cast<std::size_t>(item.leaf)]];
      } else {
        ++packages;
      }
    }
    need = 2 * packages;
  }
  return lengths;
}

std::vector<std::uint32_t> CanonicalCodes(std::span<const std::uint8_t> lengths) {
  std::uint8_t longest = 0;
  for (std::uint8_t length : lengths) longest = std::max(longest, length);
  std::vector<std::uint32_t> perLength(longest + 1u, 0);
  for (std::uint8_t length : lengths) {
    if (length != 0) ++perLength[length];
  }
  std::vector<std::uint32_t> next(longest + 1u, 0);
  std::uint32_t code = 0;
  for (unsigned length = 1; length <= longest; ++length) {
    code = (code + perLength[length - 1]) << 1;
    next[length] = code;
  }
  std::vector<std::uint32_t> codes(lengths.size(), 0);
  for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
    if (lengths[symbol] != 0) codes[symbol] = next[lengths[symbol]]++;
  }
  return codes;
}

}  // namespace makepatch
