// A later start hands its link to the program running for the same program directory.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <future>

#include "app/program_instance.h"
#include "ui/ui_test_support.h"

using namespace tavik;
using namespace std::chrono_literals;

// The running program answers from its event loop while the later start waits.
template <typename T>
bool answered(std::future<T>& later)
{
    return test::waitFor([&] { return later.wait_for(0s) == std::future_status::ready; }, 10000) && later.get();
}

TEST(ProgramInstance, ALaterStartHandsItsLinkOrItsWishToBeShownToTheRunningProgram)
{
    test::application(); // the running program's side answers from an event loop
    ProgramInstance running("/home/ann/.local/share/tavik/");
    ASSERT_TRUE(running.listen());
    QSignalSpy links(&running, &ProgramInstance::linkReceived);
    QSignalSpy raises(&running, &ProgramInstance::raiseRequested);

    // The later start blocks while it waits for the answer, as it does before its event loop.
    const QString link = QStringLiteral("mailto:bob@example.org?subject=K%C3%B6ln \u00e9");
    auto handed = std::async(std::launch::async, [&] { return ProgramInstance("/home/ann/.local/share/tavik/").handOver(link); });
    ASSERT_TRUE(links.wait(10000));
    EXPECT_EQ(links.takeFirst().at(0).toString(), link);
    EXPECT_TRUE(answered(handed));

    auto raised = std::async(std::launch::async, [] { return ProgramInstance("/home/ann/.local/share/tavik/").handOver({}); });
    ASSERT_TRUE(raises.wait(10000));
    EXPECT_TRUE(answered(raised));
    EXPECT_EQ(links.size(), 0);

    // Another installation has no program running, and says so at once.
    EXPECT_NE(ProgramInstance::serverName("/opt/other/"), ProgramInstance::serverName("/home/ann/.local/share/tavik/"));
    EXPECT_FALSE(ProgramInstance("/opt/other/").handOver(link, 2000));
}
