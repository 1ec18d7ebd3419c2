#pragma once

#include <json/json.h>

#include <string>

// Reading and writing of the JSON texts that cross the product's boundaries.

// Parses with the strict reader (no comments; the root must be an object or
// an array; text after the root value is not examined).  False for anything
// the reader cannot take, including nesting deeper than the reader allows.
bool ParseStrictJson(const std::string& text, Json::Value& root);

// The compact form: no white space, members in byte order of their names,
// UTF-8 written as it is (only the quote, the backslash and control
// characters escaped), one line feed at the end.
std::string WriteCompactJson(const Json::Value& value);

// A JSON integer (not a number with a fraction or an exponent) that fits a
// signed 32-bit int.
bool IsInt32(const Json::Value& value);

// Reads a string member of an object: true with its text, or with an empty
// text when the member is missing; false (and an empty text) when the value
// is not an object or the member is not a string.
bool ReadStringMember(const Json::Value& object, const char* name, std::string& text);
