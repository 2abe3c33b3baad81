// RapidJSON as the readers use it, never with the heap: each parse's stack
// lives in a fixed buffer (and parsing in place with numbers as text never
// pushes onto it), with an allocator behind it that has nothing to give, so a
// parse that needed more would fail rather than allocate. RapidJSON's own new
// and delete are then never called, and the program needs no C++ runtime.
#pragma once

#include <array>
#include <cstddef>
#include <cstdio>

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

// Parses `text` in place, events to `handler`; false with the reason: the
// handler's own where it stopped the parse, else RapidJSON's, with the byte.
template <typename Handler, std::size_t MEMORY_SIZE, std::size_t REASON_SIZE>
bool parse_json_in_place(char *text, Handler &handler, std::array<char, MEMORY_SIZE> &parser_memory,
                         std::array<char, REASON_SIZE> &reason)
{
    reason[0] = '\0';
    no_heap_allocator no_heap;
    fixed_pool stack_memory(parser_memory.data(), parser_memory.size(), parser_memory.size(), &no_heap);
    fixed_reader reader(&stack_memory, parser_memory.size() / 2);
    rapidjson::InsituStringStream stream(text);
    const rapidjson::ParseResult result = reader.Parse<JSON_PARSE_FLAGS>(stream, handler);
    if (!result.IsError()) {
        return true;
    }
    if (result.Code() != rapidjson::kParseErrorTermination || reason[0] == '\0') {
        (void)std::snprintf(reason.data(), reason.size(), "invalid JSON at byte %zu: %s", result.Offset() + 1,
                            rapidjson::GetParseError_En(result.Code()));
    }
    return false;
}
