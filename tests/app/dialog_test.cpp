// Initialisation of the dialog: the plug-in lists, empty plug-in folders, and the dialog's
// end through Exit and close requests.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QProgressBar>

#include <array>

#include "faltrix/plugin_list.h"
#include "test_support.h"

namespace faltrix {
namespace {

using test::PluginFolders;
using test::ScriptedInteraction;

QStringList Entries(MainDialog &dialog, int id) {
    auto *combo = qobject_cast<QComboBox *>(dialog.Control(id));
    QStringList entries;
    for (int i = 0; i < combo->count(); ++i) entries << combo->itemText(i);
    return entries;
}

QString LoadedDescription(PluginList &plugins) {
    std::array<WCHAR, 256> text{};
    plugins.GetPluginInfo(1, text.data(), 256);
    return QString::fromUtf16(text.data());
}

TEST(DialogStart, ListsShowDescriptionsInFolderOrderWithEntryZeroLoaded) {
    test::App();
    PluginFolders folders;
    folders.AddDialogPlugin(true, QStringLiteral("b.so"), QStringLiteral("in_two"));
    folders.AddDialogPlugin(true, QStringLiteral("a.so"), QStringLiteral("in_one"));
    folders.AddDialogPlugin(true, QStringLiteral("c.so"), QStringLiteral("in_blank"));
    folders.AddDialogPlugin(false, QStringLiteral("z.so"), QStringLiteral("out_one"));
    folders.AddDialogPlugin(false, QStringLiteral("y.so"), QStringLiteral("out_two"));
    ScriptedInteraction answers;
    MainDialog dialog(103);

    // A plug-in without a description still has its entry: its file name.
    EXPECT_EQ(Entries(dialog, kInputPluginList),
              (QStringList{QStringLiteral("Input one"), QStringLiteral("Input two"), QStringLiteral("c.so")}));
    EXPECT_EQ(Entries(dialog, kOutputPluginList), (QStringList{QStringLiteral("Output two"), QStringLiteral("Output one")}));
    EXPECT_EQ(qobject_cast<QComboBox *>(dialog.Control(kInputPluginList))->currentIndex(), 0);
    EXPECT_EQ(qobject_cast<QComboBox *>(dialog.Control(kOutputPluginList))->currentIndex(), 0);
    EXPECT_EQ(dialog.CurrentInputIndex(), 0);
    EXPECT_EQ(dialog.CurrentOutputIndex(), 0);
    EXPECT_EQ(LoadedDescription(InputPlugins()), QStringLiteral("Input one"));
    EXPECT_EQ(LoadedDescription(OutputPlugins()), QStringLiteral("Output two"));
    EXPECT_TRUE(answers.messages.empty());
    EXPECT_EQ(qobject_cast<QProgressBar *>(dialog.Control(kProgressBar))->maximum(), 100);
}

TEST(DialogStart, BundledPluginsAreListedWithTheFirstLoaded) {
    test::App();
    const QDir bundled(QStringLiteral(FALTRIX_PLUGIN_DIR "/input"));
    const QStringList libraries = bundled.entryList({QStringLiteral("*.so")}, QDir::Files, QDir::Name);
    if (libraries.isEmpty()) GTEST_SKIP() << "no bundled plug-ins built";
    InputPlugins().SetFolderOverride(QFile::encodeName(bundled.path()).toStdString());
    OutputPlugins().SetFolderOverride(FALTRIX_PLUGIN_DIR "/output");
    ScriptedInteraction answers;
    {
        MainDialog dialog(102);
        const QStringList entries = Entries(dialog, kInputPluginList);
        EXPECT_EQ(entries.size(), libraries.size());
        // Byte order of file names: bmp.so comes first when it is there.
        if (libraries.front() == QStringLiteral("bmp.so")) {
            EXPECT_TRUE(entries.front().startsWith(QStringLiteral("BMP")));
        }
        EXPECT_EQ(LoadedDescription(InputPlugins()), entries.front());
        EXPECT_TRUE(answers.messages.empty());
        // Entry i stands for plug-in i of the folder's order.
        for (int i = 0; i < entries.size(); ++i) {
            ASSERT_EQ(InputPlugins().SelectPlugin(static_cast<uint32_t>(i)), 1);
            EXPECT_EQ(LoadedDescription(InputPlugins()), entries[i]) << libraries[i].toStdString();
        }
    }
    InputPlugins().Teardown();
    OutputPlugins().Teardown();
    InputPlugins().SetFolderOverride({});
    OutputPlugins().SetFolderOverride({});
}

TEST(DialogStart, EmptyInputFolderReportsAndClosesAfterTheOutputListWasFilled) {
    test::App();
    PluginFolders folders;
    folders.AddDialogPlugin(false, QStringLiteral("a.so"), QStringLiteral("out_one"));
    ScriptedInteraction answers;
    MainDialog dialog(103);
    ASSERT_EQ(answers.messages.size(), 1u);
    EXPECT_EQ(answers.messages[0].text, QStringLiteral("No input Plug-ins.\nYou've got to install plug-ins first."));
    EXPECT_EQ(answers.messages[0].caption, QStringLiteral("ERROR"));
    EXPECT_EQ(answers.messages[0].style, 16);
    EXPECT_EQ(Entries(dialog, kInputPluginList), QStringList{});
    EXPECT_EQ(dialog.CurrentInputIndex(), -1);
    EXPECT_EQ(Entries(dialog, kOutputPluginList), QStringList{QStringLiteral("Output one")});
    // The posted close request ends the modal run with 0.
    EXPECT_EQ(dialog.exec(), 0);
}

TEST(DialogStart, BothFoldersEmptyGiveBothMessagesInputFirst) {
    test::App();
    PluginFolders folders;
    ScriptedInteraction answers;
    MainDialog dialog(102);
    ASSERT_EQ(answers.messages.size(), 2u);
    EXPECT_TRUE(answers.messages[0].text.startsWith(QStringLiteral("No input Plug-ins.")));
    EXPECT_TRUE(answers.messages[1].text.startsWith(QStringLiteral("No output Plug-ins.")));
    EXPECT_EQ(dialog.exec(), 0);
}

class DialogEnd : public ::testing::TestWithParam<int> {};

// Exit, Escape and the close box all end the dialog with 0.
TEST_P(DialogEnd, ExitEscapeAndCloseEndWithZero) {
    test::App();
    PluginFolders folders;
    folders.AddDialogPlugin(true, QStringLiteral("a.so"), QStringLiteral("in_one"));
    folders.AddDialogPlugin(false, QStringLiteral("a.so"), QStringLiteral("out_one"));
    ScriptedInteraction answers;
    MainDialog dialog(103);
    QMetaObject::invokeMethod(&dialog, [&dialog] {
        switch (GetParam()) {
        case 0: dialog.Command(kExitButton, kNotifyClicked); break;
        case 1: dialog.reject(); break;
        default: dialog.close(); break;
        }
    }, Qt::QueuedConnection);
    EXPECT_EQ(dialog.exec(), 0);
    EXPECT_FALSE(dialog.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Requests, DialogEnd, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(info.param == 0 ? "ExitCommand" : info.param == 1 ? "Escape" : "CloseBox");
                         });

}  // namespace
}  // namespace faltrix
