#include "core/errors.h"

namespace {

// The texts one after another, each ended by its zero: the executable keeps
// each once, and the calls that log an error pass its number only.
#define ZRL_ERROR_TEXT(name, number, text) text "\0"
constexpr char kErrorTexts[] = ZRL_ERRORS(ZRL_ERROR_TEXT);
#undef ZRL_ERROR_TEXT

// A text is found by its place, so the places must be the numbers.
constexpr bool NumbersAreTheirPlaces() {
    INT32 place = 0;
    bool inOrder = true;
#define ZRL_ERROR_PLACE(name, number, text) inOrder = inOrder && number == ++place;
    ZRL_ERRORS(ZRL_ERROR_PLACE)
#undef ZRL_ERROR_PLACE
    return inOrder;
}
static_assert(NumbersAreTheirPlaces(), "core/errors.h must list every number from 1 up in order");

}  // namespace

const char* ErrorFormat(ErrorNumber number) {
    const char* text = kErrorTexts;
    const char* end = kErrorTexts + sizeof(kErrorTexts) - 1;
    for (INT32 place = 1; place < number && text < end; ++place) {
        while (*text++) {
        }
    }
    return number > 0 ? text : end;
}
