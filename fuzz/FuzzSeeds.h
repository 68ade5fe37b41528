#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "fuzz/FuzzHarness.h"

// Seed corpora written by the project's own writers at start-up, and the container writer the
// structure-aware variants re-encrypt with.
namespace lumofuzz
{
// Archives from the patch builder's writers: plain, compressed, folders, ZExL records, a whole patch.
std::vector<Bytes> ZipSeeds();
// "PatchConfig.xml" texts from the patch builder.
std::vector<Bytes> PatchConfigSeeds();
// Settings documents as the JSON writer writes them (UTF-16 text, no BOM).
std::vector<std::wstring> JsonSeedTexts();

// The settings file's pass phrase, taken from a JsonFile.
Bytes SettingsKey();

// A container as EncFile::Write makes it, with the fields a hostile file may set otherwise.
struct ContainerSpec
{
    Bytes key; // pass phrase without its terminator
    int version = 2;
    uint32_t rand1 = 1000;
    int64_t encSize = -1;   // header 1a's claim; -1: what the contents need
    int64_t plainSize = -1; // header 1b's size; -1: the contents' length
    int32_t r1Delta = 0;    // header 1b's copy of the random values, off by this much
    uint32_t cb1a = 16, cb1b = 32;
    Bytes contents;          // plain
    int64_t truncateTo = -1; // the file cut at this length
    bool badKeyCheck = false;
};
Bytes BuildContainer(const ContainerSpec& spec);
// Random container fields around a plain content (the structure-aware variant of both targets).
Bytes MutateContainer(Rng& rng, const Bytes& key, const Bytes& plain, const std::vector<Bytes>& corpus,
                      const MutatorOptions& plainMutator);
} // namespace lumofuzz
