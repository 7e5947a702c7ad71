#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "util/internal_error.h"
#include "util/result.h"

namespace dagloom {
namespace {

using R = Result<std::string, int>;

// Reading the side a Result does not hold fails the same way however it
// is read, in every build type (no assert that NDEBUG could remove).
TEST(Result, ReadingTheMissingSideIsAnInternalFailure) {
    R err = make_err(7);
    const R& cerr = err;
    const std::string value_text = "called `Result::value()` on an error";
    auto expect_failure = [](auto read, const std::string& text) {
        try {
            read();
            ADD_FAILURE() << "no InternalError";
        } catch (const InternalError& e) {
            EXPECT_EQ(e.what(), text);
        }
    };
    expect_failure([&] { (void)err.value(); }, value_text);
    expect_failure([&] { (void)cerr.value(); }, value_text);
    expect_failure([&] { (void)std::move(err).value(); }, value_text);
    expect_failure([&] { (void)*err; }, value_text);
    expect_failure([&] { (void)err->size(); }, value_text);
    expect_failure([&] { (void)cerr->size(); }, value_text);

    R ok = std::string("x");
    const R& cok = ok;
    const std::string error_text = "called `Result::error()` on a value";
    expect_failure([&] { (void)ok.error(); }, error_text);
    expect_failure([&] { (void)cok.error(); }, error_text);
}

TEST(Result, HeldSideReadsBack) {
    R ok = std::string("abc");
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok.value(), "abc");
    EXPECT_EQ(ok->size(), 3u);
    EXPECT_EQ(std::move(ok).value(), "abc");
    R err = make_err(7);
    ASSERT_FALSE(err);
    EXPECT_EQ(err.error(), 7);
    Status<int> done = Unit{};
    EXPECT_TRUE(done.ok());
}

}  // namespace
}  // namespace dagloom
