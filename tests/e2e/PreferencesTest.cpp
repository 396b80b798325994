// The packaging choice as the user meets it: read from ./Quillfeed.ini in the
// updater's current directory at start, written back at every click of the
// download button.
#include "Publisher.h"

#include "UpdaterSession.h"

#include <gtest/gtest.h>

using namespace qftest;

namespace
{
constexpr int kDownload = 1005;
constexpr int kInstaller = 1007;
constexpr int kZipped = 1008;

bool Checked(const UpdaterSession& updater, int id)
{
    return ::SendMessageW(updater.item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// The updater in a scratch folder whose settings file holds settings.
struct Session
{
    explicit Session(const std::string& settings = "")
    {
        publisher.SetContent(kWhatsNewTextPathA, "news");
        if (!settings.empty())
            WriteFileBytes(dir.file(kSettingsFileName), settings);
        LaunchOptions options;
        options.currentDirectory = dir.path();
        updater = std::make_unique<UpdaterSession>(options);
    }
    ~Session()
    {
        if (updater->dialog())
            ::PostMessageW(updater->item(IDCANCEL), BM_CLICK, 0, 0);
        updater->WaitForExit();
    }
    Publisher publisher;
    ScratchDir dir;
    std::unique_ptr<UpdaterSession> updater;
};

std::string FileIn(const Session& s)
{
    return ReadFileBytes(s.dir.file(kSettingsFileName));
}

bool ClickStores(Session& s, const std::string& value)
{
    ::PostMessageW(s.updater->item(kDownload), BM_CLICK, 0, 0);
    return WaitUntil([&] {
        return FileExists(s.dir.file(kSettingsFileName)) &&
               FileIn(s).find(kPackagingKeyA + ("=" + value + "\r\n")) != std::string::npos;
    });
}
} // namespace

TEST(Preferences, TheStoredValueChecksItsButtonAndAClickStoresWhatIsChecked)
{
    struct Case
    {
        const char* settings; // "": no settings file
        bool bInstaller;      // checked at start
        bool bZipped;
        const char* stored; // by a click on the download button
    };
    const Case cases[] = {
        {"", true, false, "0"},
        {"[ActiveUpdater]\r\nPackaging=1\r\n", false, true, "1"},
        // Neither checked: the click stores that no button was.
        {"[ActiveUpdater]\r\nPackaging=2\r\n", false, false, "-1"},
        // Text that is not a number means the installer.
        {"[ActiveUpdater]\r\nPackaging=zip\r\n", true, false, "0"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.settings);
        Session s(c.settings);
        ASSERT_NE(s.updater->dialog(), nullptr);
        EXPECT_EQ(Checked(*s.updater, kInstaller), c.bInstaller);
        EXPECT_EQ(Checked(*s.updater, kZipped), c.bZipped);
        EXPECT_EQ(FileExists(s.dir.file(kSettingsFileName)), *c.settings != '\0');
        ASSERT_TRUE(ClickStores(s, c.stored));
        // Without a file, the click creates one with the section and key alone.
        if (*c.settings == '\0')
        {
            EXPECT_EQ(FileIn(s), "[ActiveUpdater]\r\nPackaging=0\r\n");
        }
    }
}

TEST(Preferences, EveryClickStoresWhatIsCheckedThenAndKeepsTheRestOfTheFile)
{
    Session s("; reader settings\r\n[Reader]\r\nTheme=Dark\r\n[ActiveUpdater]\r\nPackaging=0\r\nChannel=beta\r\n");
    ASSERT_NE(s.updater->dialog(), nullptr);
    ASSERT_TRUE(Checked(*s.updater, kInstaller));

    ::SendMessageW(s.updater->item(kZipped), BM_CLICK, 0, 0);
    ASSERT_TRUE(ClickStores(s, "1"));
    ::SendMessageW(s.updater->item(kInstaller), BM_CLICK, 0, 0);
    ASSERT_TRUE(ClickStores(s, "0"));

    EXPECT_EQ(FileIn(s),
              "; reader settings\r\n[Reader]\r\nTheme=Dark\r\n[ActiveUpdater]\r\nPackaging=0\r\nChannel=beta\r\n");
}
