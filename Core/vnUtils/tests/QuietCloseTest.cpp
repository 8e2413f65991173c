#include "vnUtils/QuietClose.h"
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

using namespace vorn;

namespace {

void FailingClose(int& closes)
{
    ++closes;
    throw std::runtime_error("close failed");
}

// Closes on leaving its scope, the way the store's guards do.
struct Guard {
    explicit Guard(int& c) : closes(c) {}
    int& closes;
    CloseOnLeave leave;
    ~Guard() noexcept(false) { leave.Run([this] { FailingClose(closes); }); }
};

TEST(QuietClose, AFailedCloseIsDroppedOnlyWhileAnotherFailurePasses)
{
    int closes = 0;
    CloseQuietly([&] { FailingClose(closes); });
    EXPECT_EQ(closes, 1);

    // Nothing passing: the close's failure goes on.
    std::string caught;
    try {
        Guard g(closes);
    } catch (const std::runtime_error& e) {
        caught = e.what();
    }
    EXPECT_EQ(caught, "close failed");
    EXPECT_EQ(closes, 2);

    // The scope's own failure passing: the close runs, its failure is dropped.
    try {
        Guard g(closes);
        throw std::logic_error("first");
    } catch (const std::logic_error& e) {
        caught = e.what();
    }
    EXPECT_EQ(caught, "first");
    EXPECT_EQ(closes, 3);

    // A guard made while a failure is being handled judges by new failures only.
    try {
        throw std::logic_error("handled");
    } catch (const std::logic_error&) {
        try {
            Guard g(closes);
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
    }
    EXPECT_EQ(caught, "close failed");
    EXPECT_EQ(closes, 4);
}

} // namespace
