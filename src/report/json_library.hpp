// RapidJSON as the readers use it, never with the heap: each parse's stack
// lives in a fixed buffer (and parsing in place with numbers as text never
// pushes onto it), with an allocator behind it that has nothing to give, so a
// parse that needed more would fail rather than allocate. RapidJSON's own new
// and delete are then never called, and the program needs no C++ runtime.
#pragma once

#include <cstddef>

#define RAPIDJSON_NEW(x) (static_cast<decltype(x) *>(nullptr))
#define RAPIDJSON_DELETE(x) (static_cast<void>(x))
#include <rapidjson/allocators.h>
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

struct no_heap_allocator {
    static const bool kNeedFree = false;
    void *Malloc(std::size_t) { return nullptr; }
    void *Realloc(void *, std::size_t, std::size_t) { return nullptr; }
    static void Free(void *) {}
};

using fixed_pool = rapidjson::MemoryPoolAllocator<no_heap_allocator>;
using fixed_reader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, fixed_pool>;

// Parsed in place, validated as UTF-8, numbers handed over as their text.
inline constexpr unsigned JSON_PARSE_FLAGS =
    rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;
