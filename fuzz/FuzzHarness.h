#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// In-process fuzzing of one parser per program: a seeded, repeatable mutator over a corpus made
// by the project's own writers, and after every input the checks a hostile input must pass
// (no crash, no hang, a valid heap, nothing written where it must not be, no leak).
namespace lumofuzz
{
using Bytes = std::string;

// splitmix64: the same seed gives the same campaign on every machine.
class Rng
{
public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t Next();
    // 0..n-1 (0 when n is 0).
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(Next() % n); }
    bool OneIn(size_t n) { return Below(n) == 0; }
    Bytes RandomBytes(size_t n);

private:
    uint64_t m_state;
};

// Blind mutations. Unit 2 keeps positions and lengths on UTF-16 code units (text targets).
struct MutatorOptions
{
    size_t unit = 1;
    size_t maxLen = 65536;
    std::vector<Bytes> dictionary; // tokens inserted or written over the input
};

Bytes Mutate(Rng& rng, const Bytes& input, const std::vector<Bytes>& corpus, const MutatorOptions& options);
// Writes one of the values that break length and offset fields (0, 1, -1, 0x7F..., 0xFFFF, ...)
// in 1, 2 or 4 little-endian bytes at pos; the input grows when it is too short.
void PutInteresting(Rng& rng, Bytes& data, size_t pos);
uint32_t InterestingValue(Rng& rng);

void PutLe16(Bytes& b, size_t pos, uint32_t v);
void PutLe32(Bytes& b, size_t pos, uint32_t v);
uint32_t GetLe16(const Bytes& b, size_t pos);
uint32_t GetLe32(const Bytes& b, size_t pos);

Bytes Utf16Bytes(const std::wstring& text);
std::wstring BytesToWide(const Bytes& bytes); // whole code units; an odd last byte is dropped

// What one program fuzzes.
struct Target
{
    std::string name;
    std::vector<Bytes> seeds;
    MutatorOptions mutator;
    // Structure-aware variant, used for about half of the inputs when set.
    std::function<Bytes(Rng& rng, const Bytes& base, const std::vector<Bytes>& corpus)> structured;
    // Runs one input; the result code lets inputs that reach new outcomes join the corpus.
    std::function<int(const Bytes& input)> run;
    // After each input: false with the reason when something was written where it must not be.
    std::function<bool(std::string& why)> checkOutside;
    DWORD hangMs = 20000;
};

// Settings from the command line: COUNT SEED [--replay FILE] [--crashes DIR] [--leak-window N]
// [--hang-ms N] [--inject crash|hang|heap|leak|outside]. An injected fault proves that the checks see it.
struct Options
{
    uint64_t count = 1000;
    uint64_t seed = 1;
    std::wstring replay;
    std::wstring crashDir;
    uint64_t leakWindow = 10000;
    DWORD hangMs = 0; // 0: the target's own
    std::wstring inject;
    size_t leakBoundKiB = 4096;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options);
// Seams for what an in-process run must not wait for; traces go nowhere unless asked for.
void PrepareProcess();
// The campaign; 0 when every input passed every check.
int Run(Target& target, const Options& options);

// A scratch folder of this program run under %TEMP%, removed at the end.
std::wstring ScratchRoot();
bool WriteWholeFile(const std::wstring& path, const Bytes& bytes);
Bytes ReadWholeFile(const std::wstring& path);
// Removes a folder and everything in it; links are removed, never followed.
void RemoveTree(const std::wstring& path);
// "path size attributes" lines of every file and folder below path (the skipped paths left
// out), sorted.
std::vector<std::wstring> ListTree(const std::wstring& path, const std::vector<std::wstring>& skip);
} // namespace lumofuzz
