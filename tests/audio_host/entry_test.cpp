#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "audio_host/entry.h"

namespace dovrin::audio_host {
namespace {

struct IntegerCase {
  const char* text;
  std::optional<std::int32_t> value;
};

class AudioHostIntegerRule : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(AudioHostIntegerRule, ReadsSignAndDigitsWithinThirtyTwoBits) {
  EXPECT_EQ(parseInteger(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AudioHostIntegerRule,
    ::testing::Values(IntegerCase{"42", 42}, IntegerCase{"+42", 42}, IntegerCase{"-42", -42}, IntegerCase{"0", 0},
                      IntegerCase{"007", 7}, IntegerCase{"2147483647", 2147483647},
                      IntegerCase{"-2147483648", -2147483647 - 1}, IntegerCase{"2147483648", std::nullopt},
                      IntegerCase{"-2147483649", std::nullopt}, IntegerCase{"99999999999999999999999", std::nullopt},
                      IntegerCase{"", std::nullopt}, IntegerCase{"+", std::nullopt}, IntegerCase{"-", std::nullopt},
                      IntegerCase{"+-1", std::nullopt}, IntegerCase{" 1", std::nullopt},
                      IntegerCase{"1 ", std::nullopt}, IntegerCase{"12abc", std::nullopt},
                      IntegerCase{"0x10", std::nullopt}, IntegerCase{"1.0", std::nullopt},
                      IntegerCase{"\xd9\xa3", std::nullopt}));

struct ExcludeCase {
  std::vector<std::string> arguments;
  std::unordered_set<std::int32_t> pids;
};

class AudioHostParseExclude : public ::testing::TestWithParam<ExcludeCase> {};

TEST_P(AudioHostParseExclude, CollectsValidPiecesOfTheFirstOption) {
  EXPECT_EQ(parseExclude(GetParam().arguments), GetParam().pids);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, AudioHostParseExclude,
    ::testing::Values(ExcludeCase{{"--target", "system", "--exclude-pids", "12,abc,,34,12"}, {12, 34}},
                      ExcludeCase{{"--target", "system", "--exclude-pids", ",,-5,+6,"}, {-5, 6}},
                      ExcludeCase{{"--target", "system", "--exclude-pids"}, {}},
                      ExcludeCase{{"--target", "system"}, {}},
                      ExcludeCase{{"--exclude-pids", "7", "--exclude-pids", "8"}, {7}},
                      ExcludeCase{{"--target", "pid:1", "--exclude-pids", "1 ,2"}, {2}},
                      ExcludeCase{{"--target", "pid:1", "--EXCLUDE-PIDS", "3"}, {}}));

struct ScalarCase {
  std::string text;
  std::optional<float> value;
};

class AudioHostScalarRule : public ::testing::TestWithParam<ScalarCase> {};

// Any whole number text is a stand-in request: beyond the float range it is clamped, so
// that such a request never falls back to the real procedure.
TEST_P(AudioHostScalarRule, WholeTextAsFloatClampedToItsRange) {
  auto value = parseScalar(GetParam().text);
  ASSERT_EQ(value.has_value(), GetParam().value.has_value()) << '"' << GetParam().text << '"';
  if (value && std::isnan(*GetParam().value)) {
    EXPECT_TRUE(std::isnan(*value)) << GetParam().text;
  } else if (value) {
    EXPECT_EQ(*value, *GetParam().value) << GetParam().text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AudioHostScalarRule,
    ::testing::Values(ScalarCase{"0.5", 0.5f}, ScalarCase{"1", 1.0f}, ScalarCase{"-0.25", -0.25f},
                      ScalarCase{"1.2", 1.2f}, ScalarCase{".5", 0.5f}, ScalarCase{"5e-1", 0.5f},
                      ScalarCase{"0x1p-1", 0.5f}, ScalarCase{"", std::nullopt}, ScalarCase{" 0.5", std::nullopt},
                      ScalarCase{"\t0.5", std::nullopt}, ScalarCase{"0.5 ", std::nullopt},
                      ScalarCase{"0,5", std::nullopt}, ScalarCase{"abc", std::nullopt},
                      ScalarCase{std::string("\0" "0.5", 4), std::nullopt}, ScalarCase{"inf", FLT_MAX},
                      ScalarCase{"-infinity", -FLT_MAX}, ScalarCase{"nan", NAN}, ScalarCase{"1e39", FLT_MAX},
                      ScalarCase{"1e999", FLT_MAX}, ScalarCase{"-1e999", -FLT_MAX},
                      ScalarCase{"340282356779733661637539395458142568448", FLT_MAX}, ScalarCase{"1e-999", 0.0f}));

}  // namespace
}  // namespace dovrin::audio_host
