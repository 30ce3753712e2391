#include "tests/support/report.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

// The probe's and the bench's figures go through these; a wrong rank or rounding would misreport a
// target as met.
TEST(Report, PercentileIsTheNearestRankOfTheSortedSamples)
{
    std::vector<double> hundred;
    for (int i = 1; i <= 100; ++i)
        hundred.push_back(i);
    EXPECT_EQ(Percentile(hundred, 50.0), 50.0);
    EXPECT_EQ(Percentile(hundred, 99.0), 99.0);
    EXPECT_EQ(Percentile(hundred, 100.0), 100.0);

    // With few samples the tail percentile is the largest one, never an interpolation below it.
    const std::vector<double> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 40};
    EXPECT_EQ(Percentile(ten, 99.0), 40.0);
    EXPECT_EQ(Percentile(ten, 50.0), 5.0);
    EXPECT_EQ(Percentile({7.0}, 0.0), 7.0);
}

TEST(Report, MillisecondsKeepThreeRoundedDecimals)
{
    EXPECT_EQ(Report::FormatMillis(0.0), L"0.000");
    EXPECT_EQ(Report::FormatMillis(1.0004), L"1.000");
    EXPECT_EQ(Report::FormatMillis(1.0006), L"1.001");
    EXPECT_EQ(Report::FormatMillis(12.05), L"12.050");
    EXPECT_EQ(Report::FormatMillis(2494.2), L"2494.200");
}

TEST(Report, ParseNumberTakesOnlyPlainDecimalsOfAtMostNineDigits)
{
    unsigned long value = 17;
    EXPECT_TRUE(ParseNumber(L"0", value));
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(ParseNumber(L"999999999", value));
    EXPECT_EQ(value, 999999999u);
    for (const wchar_t* bad : {L"", L"-1", L"+1", L"1.5", L" 1", L"1 ", L"0x10", L"1000000000"}) {
        value = 17;
        EXPECT_FALSE(ParseNumber(bad, value)) << bad;
        EXPECT_EQ(value, 17u) << bad;
    }
}

TEST(Report, WritesOneUtf8LinePerKeyWithLineBreaksEscaped)
{
    TempDirectory directory;
    Report report;
    report.Add(L"status", L"Atualiza\u00E7\u00E3o\r\nfeita");
    report.AddNumber(L"count", -3);
    report.AddFlag(L"shown", true);
    report.AddMillis(L"p99_ms", 1.5);
    ASSERT_TRUE(report.WriteTo(directory / L"out.txt"));
    EXPECT_EQ(ReadFileBytes(directory / L"out.txt"),
              "status=Atualiza\xC3\xA7\xC3\xA3o\\r\\nfeita\ncount=-3\nshown=1\np99_ms=1.500\n");
    EXPECT_FALSE(report.WriteTo(directory / L"missing\\out.txt"));
}
