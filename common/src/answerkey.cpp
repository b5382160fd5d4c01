// The answer key compiled in from WINM_ANSWER_KEY (cmake/AnswerKey.cmake),
// alone in this file so that a test program can link another key.
#include "common/src/answersignature.h"

#ifdef WINM_ANSWER_KEY_ID

namespace {

constexpr uint8_t Nibble(char c) {
    return static_cast<uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
}

constexpr AnswerKey MakeKey(const char (&x)[65], const char (&y)[65]) {
    AnswerKey key{};
    key.id = WINM_ANSWER_KEY_ID;
    for (int i = 0; i < 32; ++i) {
        key.x[i] = static_cast<uint8_t>(Nibble(x[2 * i]) << 4 | Nibble(x[2 * i + 1]));
        key.y[i] = static_cast<uint8_t>(Nibble(y[2 * i]) << 4 | Nibble(y[2 * i + 1]));
    }
    return key;
}

static_assert(WINM_ANSWER_KEY_ID >= 1 && WINM_ANSWER_KEY_ID <= 255);
constexpr AnswerKey kKey = MakeKey(WINM_ANSWER_KEY_X, WINM_ANSWER_KEY_Y);

}  // namespace

const AnswerKey* BuiltInAnswerKey() {
    return &kKey;
}

#else

const AnswerKey* BuiltInAnswerKey() {
    return nullptr;
}

#endif
