// The names and texts that the update program shares with what surrounds it:
// the feed reader's window, the publisher's addresses, the settings file and
// what the user reads. Others match them exactly (the reader, the publisher,
// a settings file written by an earlier version, the people who look for the
// texts), so each is written here once; the program, the benchmarks and the
// tests take them from here, and the resource script takes the caption. The
// stand-ins and the demo spell them themselves, as the reader and the user
// do, so that they witness the program's spelling rather than share it. It
// includes nothing and needs nothing.
#pragma once

// The dialog's caption, also the caption of its ready box.
#define QF_DIALOG_CAPTION "Quillfeed Automatic Update"

#ifndef RC_INVOKED

// A text given once, as NAME (UTF-16, for the program) and NAME##A (bytes, as
// the loopback publisher sees an address and a test reads a file).
#define QF_NAMED_TEXT(name, text)                                                                                    \
    inline constexpr wchar_t name[] = L"" text;                                                                      \
    inline constexpr char name##A[] = text;

// The feed reader's frame window, which is asked to close before the package
// is opened.
QF_NAMED_TEXT(kReaderWindowClass, "Quillfeed_FrameWindowClass")

// The two packages: their names in the temporary folder, which are the last
// segments of their addresses on the publisher's server.
#define QF_SETUP_PACKAGE "QuillfeedSetup.exe"
#define QF_ZIP_PACKAGE   "Quillfeed.zip"
QF_NAMED_TEXT(kSetupPackageName, QF_SETUP_PACKAGE)
QF_NAMED_TEXT(kZipPackageName, QF_ZIP_PACKAGE)

// Addresses on the publisher's server, after its base URL.
QF_NAMED_TEXT(kSetupPackagePath, "/dist/" QF_SETUP_PACKAGE)
QF_NAMED_TEXT(kZipPackagePath, "/dist/" QF_ZIP_PACKAGE)
QF_NAMED_TEXT(kWhatsNewTextPath, "/whatsnew.txt")
QF_NAMED_TEXT(kWhatsNewPagePath, "/whatsnew.html")
QF_NAMED_TEXT(kHowToUpgradePagePath, "/blog/14")

// What the user reads.
QF_NAMED_TEXT(kDialogCaption, QF_DIALOG_CAPTION)
QF_NAMED_TEXT(kReadyText,
              "Download is ready. Automatic Update is going to close Quillfeed and upgrade to the latest version.")
// Misspelt ("reterieve", "infomation") on purpose: this is the text that users
// have always seen and that others look for; it is kept to the letter.
QF_NAMED_TEXT(kWhatsNewFailedText, "Failed to reterieve What's New infomation")

// The settings file, in the current directory that the starter chose, and
// the one value the program keeps there.
#define QF_SETTINGS_FILE "Quillfeed.ini"
QF_NAMED_TEXT(kSettingsFileName, QF_SETTINGS_FILE)
QF_NAMED_TEXT(kSettingsFilePath, "./" QF_SETTINGS_FILE)
QF_NAMED_TEXT(kSettingsSection, "ActiveUpdater")
QF_NAMED_TEXT(kPackagingKey, "Packaging")

#undef QF_NAMED_TEXT

#endif // RC_INVOKED
