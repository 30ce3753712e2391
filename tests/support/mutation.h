#pragma once

#include <random>
#include <string>

// One random change of the kinds a broken or hostile server produces: a flipped bit, a cut, an
// inserted byte, special character, path piece or long run.
void Mutate(std::string& text, std::mt19937& random);

// `seed` after one to four such changes.
std::string MutatedCopy(const std::string& seed, std::mt19937& random);
