#pragma once
/*
 * value_variant: the kinds of Python value the encoder writes, and their
 * classification. The alternatives are tried in index order, first without
 * conversion and then with it; the first that accepts an object wins, so the
 * order decides, for example, that True is a boolean and not the integer 1.
 */

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string_view>
#include <variant>

using value_variant = std::variant<pybind11::bool_,   /* 0: exactly bool */
                                   pybind11::float_,  /* 1: float or subclass */
                                   pybind11::int_,    /* 2: int or subclass */
                                   pybind11::list,    /* 3 */
                                   pybind11::tuple,   /* 4 */
                                   pybind11::dict,    /* 5 */
                                   pybind11::bytes,   /* 6: bytes or subclass, never bytearray */
                                   pybind11::str,     /* 7 */
                                   bool,              /* 8: by truth slot (conversion only) */
                                   uint64_t,          /* 9: by __index__ */
                                   int64_t,           /* 10: by __index__ */
                                   std::string_view,  /* 11: text owned by a live object */
                                   pybind11::none>;   /* 12 */

/* The message of every refused value or unencodable text inside a container. */
inline constexpr const char cast_error_text[] =
    "Unable to cast Python instance to C++ type (compile in debug mode for details)";

/* Classifies `object` into `out`: without conversion only, or, when
 * `allow_conversion`, with the converting alternatives tried once more.
 * False when no alternative accepts it. Errors of the object's hooks are
 * cleared, except those that must reach the caller (see
 * clear_ordinary_error), which are thrown. */
bool classify(PyObject *object, value_variant &out, bool allow_conversion);

/* Classifies an item, key or value met inside a container; throws
 * pybind11::cast_error with cast_error_text when no alternative accepts it. */
value_variant load_element(pybind11::handle element);

/* Reads an integer-like object: float instances are refused; objects that
 * are not int instances are first turned into an int by __index__; with
 * `convert`, what still fails is tried once more through int(). False when
 * the object is refused. */
bool load_uint64(PyObject *source, bool convert, uint64_t &out);
bool load_int64(PyObject *source, bool convert, int64_t &out);

/* dumps' `indefinite` and `max_depth`, read as pybind11's standard bool and
 * integer casters read them, except that an error of the object's hooks
 * that must reach the caller (see clear_ordinary_error) is thrown instead
 * of refusing the object. */
bool load_flag_argument(PyObject *source, bool convert, bool &out);
bool load_count_argument(PyObject *source, bool convert, uint64_t &out);
