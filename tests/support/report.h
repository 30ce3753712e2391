#pragma once

#include <string>
#include <vector>

// What a helper program found, as UTF-8 "key=value" lines in a file. Programs run under Wine write
// files, never stdout: Wine's services inherit a pipe on stdout and keep its reader waiting.
class Report {
public:
    void Add(const wchar_t* key, const std::wstring& value);
    void AddNumber(const wchar_t* key, long long value) { Add(key, std::to_wstring(value)); }
    void AddFlag(const wchar_t* key, bool value) { Add(key, value ? L"1" : L"0"); }
    void AddMillis(const wchar_t* key, double ms) { Add(key, FormatMillis(ms)); }
    bool WriteTo(const std::wstring& path) const;

    // Three decimals, without the locale-dependent printf family.
    static std::wstring FormatMillis(double ms);

private:
    std::wstring text_;
};

// A decimal number of at most nine digits and nothing else.
bool ParseNumber(const wchar_t* text, unsigned long& out);

// Nearest rank of already sorted samples; `sorted` must not be empty.
double Percentile(const std::vector<double>& sorted, double percent);
