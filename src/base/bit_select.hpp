// Picks out the ids of a sorted chunk array whose bits a bitset chunk sets:
// the inner step of intersecting a small set with a large one, where each
// id asks one bit. Where the processor has AVX-512 with VBMI2 (checked once,
// at first use), sixteen ids a step gather their words, test their bits and
// are packed by one compress; elsewhere four ids a step ask their bits
// without a branch.
//
// Also lists the set bits of a run of bitset words as ids: where VBMI2 is
// there, one compress packs a word's bit positions, whatever their number;
// elsewhere the positions are read one after another.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lorvane {

// Writes to out the ids of in[0, n) whose bit is set in `words` (a 2^16-bit
// bitset), in order, and returns how many. out may be in; otherwise it has
// room for n ids.
std::int32_t select_set_bits(const std::uint16_t* in, std::int32_t n, const std::uint64_t* words,
                             std::uint16_t* out);

// The branch-free form every processor runs, and whether select_set_bits
// takes the vector form here: the tests hold the two to the same answers.
std::int32_t select_set_bits_portable(const std::uint16_t* in, std::int32_t n, const std::uint64_t* words,
                                      std::uint16_t* out);
bool select_set_bits_vectorised();

// Writes base + 64 * k + b for every bit b set in word k of words[0, n),
// ascending, to out, whole words at a time for as long as the ids written so
// far plus 64 fit in `room`. Returns the ids written; *words_read says how
// many words they came from (n unless room ran short).
std::size_t list_set_bits(const std::uint64_t* words, std::size_t n, std::uint32_t base, std::uint32_t* out,
                          std::size_t room, std::size_t* words_read);
// The same, except that a word is written whenever its own ids still fit in
// `room`: out has 64 slots past room, which the vector form's whole-lane
// stores may write.
std::size_t list_set_bits_fitting(const std::uint64_t* words, std::size_t n, std::uint32_t base,
                                  std::uint32_t* out, std::size_t room, std::size_t* words_read);
// Writes 64 * k + b for every bit b set in word k of words[0, n), ascending,
// as 16-bit positions (n <= 1024: one chunk), and returns how many. `set` is
// how many bits the words set; out has room for that many plus 32. Where
// VBMI2 is there, a word's positions are packed by one compress when the
// bits are dense; when there are fewer bits than words, only the 32-bit runs
// that set any (sixteen tested at once) are packed, one compress each.
std::size_t list_bit_positions(const std::uint64_t* words, std::size_t n, std::size_t set, std::uint16_t* out);
std::size_t list_bit_positions_portable(const std::uint64_t* words, std::size_t n, std::uint16_t* out);
// Writes the low 16 bits of in[k] for every k that is 0 or has in[k] !=
// in[k - 1] (sorted ids of one chunk, repeats next to each other dropped),
// and returns how many; out has room for n. Sixteen ids a step where VBMI2 is
// there, by one compare and one compress.
std::size_t narrow_distinct(const std::uint32_t* in, std::size_t n, std::uint16_t* out);
std::size_t narrow_distinct_portable(const std::uint32_t* in, std::size_t n, std::uint16_t* out);
// How many bits words[0, n) set (eight words a step where the processor
// counts bits in vectors).
std::size_t count_set_bits(const std::uint64_t* words, std::size_t n);

std::size_t list_set_bits_portable(const std::uint64_t* words, std::size_t n, std::uint32_t base,
                                   std::uint32_t* out, std::size_t room, std::size_t* words_read);

}  // namespace lorvane
