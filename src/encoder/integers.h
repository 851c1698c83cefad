#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <variant>

/* How an int is written: as an unsigned or as a signed 64-bit value. */
using resolved_integer = std::variant<uint64_t, int64_t>;

/* Every int from 0 to 2^64-1 resolves to unsigned, every int from -2^63 to -1
 * to signed, tried in that order; an int subclass must also compare equal to
 * the plain int read from it. Anything else throws std::runtime_error "dumps
 * received an integer out of range for both int64_t and uint64_t" followed by
 * value_text(value, text_limit). */
resolved_integer resolve_integer(pybind11::handle value, uint64_t text_limit);

/* str(object) as UTF-8, or "failed with " and the error when that raises, cut
 * to at most `limit` bytes without splitting a character. */
std::string value_text(pybind11::handle object, uint64_t limit);
