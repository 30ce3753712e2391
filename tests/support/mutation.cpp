#include "tests/support/mutation.h"

void Mutate(std::string& text, std::mt19937& random)
{
    static const std::string Interesting = std::string("/\\.: \r\n#-\x7F<>|?*", 17) + std::string(1, '\0') +
                                           "\xC3\xA7\xC2\xB9\xFF\xED";
    static const char* const Pieces[] = {"..", "../", "\\\\", "C:", "CON", "nul.txt", "com1", "x.download",
                                         "launcher.cache", " 18446744073709551616 ", " -1 ", " 99999999999999999999 "};
    const size_t at = text.empty() ? 0 : random() % (text.size() + 1);
    switch (random() % 6) {
    case 0:
        if (!text.empty())
            text[at % text.size()] ^= static_cast<char>(1 << (random() % 8));
        break;
    case 1:
        text.insert(at, 1, Interesting[random() % Interesting.size()]);
        break;
    case 2:
        text.erase(at, random() % 40);
        break;
    case 3:
        text.insert(at, Pieces[random() % (sizeof(Pieces) / sizeof(Pieces[0]))]);
        break;
    case 4:
        text.insert(at, std::string(random() % 600, static_cast<char>('a' + random() % 26)));
        break;
    default:
        text.insert(at, 1, static_cast<char>(random() % 256));
        break;
    }
}

std::string MutatedCopy(const std::string& seed, std::mt19937& random)
{
    std::string text = seed;
    for (int change = 1 + random() % 4; change > 0; --change)
        Mutate(text, random);
    return text;
}
