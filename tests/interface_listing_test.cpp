// Which listing of HID interfaces answers: hidapi's own, or the fallback where hidapi's cannot
// list. (The command line's --list and trace name it: cli_test.cpp.)
#include "hid/interface_listing.h"

#include "protocol/device_ids.h"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

enum class Answer { Found, None, Failed };

ListingAnswer answerOf(Answer kind, const std::string& path)
{
    ListingAnswer answer;
    answer.listed = kind != Answer::Failed;
    if (kind == Answer::Found)
        answer.interfaces.push_back({path, VENDOR_ID, PRODUCT_ID, "bootloader", ""});
    if (kind == Answer::Failed)
        answer.failure = "the call is not implemented";
    return answer;
}

struct ListingCase {
    const char* name;
    Answer preferred;
    Answer fallback;
    bool fallbackAsked;
    const char* answeredPath; // nullptr: nothing found
    const char* account;
};

class ListingChoice : public ::testing::TestWithParam<ListingCase> {};

TEST_P(ListingChoice, TheFallbackAnswersOnlyWhereHidapiCannotList)
{
    const ListingCase& c = GetParam();
    int preferredAsked = 0;
    int fallbackAsked = 0;
    std::pair<std::uint16_t, std::uint16_t> fallbackIds;
    const InterfaceListing preferred{"hidapi", [&](std::uint16_t, std::uint16_t) {
                                         ++preferredAsked;
                                         return answerOf(c.preferred, "hidapi-path");
                                     }};
    const InterfaceListing fallback{"SetupAPI",
                                    [&](std::uint16_t vendorId, std::uint16_t productId) {
                                        ++fallbackAsked;
                                        fallbackIds = {vendorId, productId};
                                        return answerOf(c.fallback, "setupapi-path");
                                    }};

    const ChosenListing chosen = chooseListing(preferred, fallback, VENDOR_ID, PRODUCT_ID);

    EXPECT_EQ(preferredAsked, 1);
    EXPECT_EQ(fallbackAsked, c.fallbackAsked ? 1 : 0);
    if (c.fallbackAsked) {
        EXPECT_EQ(fallbackIds, std::make_pair(VENDOR_ID, PRODUCT_ID));
    }
    if (c.answeredPath) {
        ASSERT_EQ(chosen.interfaces.size(), 1u);
        EXPECT_EQ(chosen.interfaces[0].path, c.answeredPath);
    } else {
        EXPECT_TRUE(chosen.interfaces.empty());
    }
    EXPECT_EQ(chosen.account, c.account);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListingChoice,
    ::testing::Values(
        ListingCase{"hidapiFindsIt", Answer::Found, Answer::Found, false, "hidapi-path", "hidapi"},
        ListingCase{"hidapiFailsAndSetupApiFindsIt", Answer::Failed, Answer::Found, true,
                    "setupapi-path",
                    "SetupAPI (hidapi's listing failed: the call is not implemented)"},
        ListingCase{"hidapiFailsAndSetupApiFindsNone", Answer::Failed, Answer::None, true, nullptr,
                    "SetupAPI (hidapi's listing failed: the call is not implemented)"},
        ListingCase{"bothFail", Answer::Failed, Answer::Failed, true, nullptr,
                    "none (hidapi's listing failed: the call is not implemented; SetupAPI's "
                    "listing failed: the call is not implemented)"},
        ListingCase{"hidapiFindsNoneWhereSetupApiFindsIt", Answer::None, Answer::Found, true,
                    "setupapi-path", "SetupAPI (hidapi's listing found none)"},
        ListingCase{"neitherFindsAny", Answer::None, Answer::None, true, nullptr,
                    "hidapi (SetupAPI's listing found none too)"},
        ListingCase{"hidapiFindsNoneAndSetupApiFails", Answer::None, Answer::Failed, true, nullptr,
                    "hidapi (SetupAPI's listing failed: the call is not implemented)"}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarvo
