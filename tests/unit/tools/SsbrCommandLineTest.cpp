// ssbr's command line: usage errors name what was wrong, with the nearest option, and each
// component's switch selects it; its JSON, read back as written; its progress line.

#include "CommandLine.h"
#include "Json.h"
#include "Progress.h"

#include <gtest/gtest.h>

#include <utility>

TEST(SsbrCommandLine, UsageErrorsNameTheMistakeAndTheNearestOption)
{
    const auto ErrorOf = [](const std::vector<String>& arguments) {
        try
        {
            CommandLine::Parse(arguments);
        }
        catch (const UsageError& error)
        {
            return error.message;
        }
        return String(L"(accepted)");
    };
    const std::pair<std::vector<String>, const wchar_t*> cases[] = {
        {{L"backup", L"C:\\b", L"--regsitry"}, L"unknown option --regsitry; did you mean --registry?"},
        {{L"verify", L"C:\\b", L"--jsn"}, L"unknown option --jsn; did you mean --json?"},
        {{L"backup", L"C:\\b", L"--zzzzzzzzzz"}, L"unknown option --zzzzzzzzzz"},
        {{L"bakcup", L"C:\\b"}, L"unknown command 'bakcup'; did you mean backup?"},
        {{L"backup", L"C:\\b", L"--registry", L"--quorum-drive", L"Q"}, L"--quorum-drive is not an option of backup"},
        {{L"list", L"C:\\b", L"--registry"}, L"--registry is not an option of list"},
        {{L"verify"}, L"verify needs a backup directory"},
        {{L"backup", L"", L"--registry"}, L"backup needs a backup directory"},
        {{L"restore", L"  ", L"--all"}, L"restore needs a backup directory"},
        {{L"restore", L"C:\\b"}, L"restore needs at least one component: name them, or give --all"},
        {{L"backup", L"C:\\b", L"--all", L"--server"}, L"--server needs a value"},
        {{L"status", L"extra"}, L"unexpected argument 'extra'"},
        {{}, L"no command given"},
    };
    for (const auto& each : cases)
        EXPECT_EQ(String(each.second), ErrorOf(each.first)) << Strings::ToUtf8(each.second);
    // Refused without being echoed back.
    EXPECT_EQ(String::npos, ErrorOf({L"backup", L"C:\\b", L"--all", L"--password=hunter2"}).find(L"hunter2"));
}

TEST(SsbrCommandLine, ParsesEachVerbsOptionsAndHelpAnywhere)
{
    Options options = CommandLine::Parse({L"restore", L"C:\\b", L"--registry", L"--all", L"--registry", L"--no-verify",
                                          L"--quiet", L"--quorum-drive", L"Q"});
    EXPECT_TRUE(options.all && options.noVerify && options.quiet);
    EXPECT_TRUE(options.named.size() == 1 && String(L"--registry") == options.named[0]->option);
    EXPECT_EQ(L"Q", options.quorumDrive);
    // Each component's switch selects that component alone, and the usage offers it.
    for (const Component& component : Components::All())
    {
        const Options one = CommandLine::Parse({L"backup", L"C:\\b", component.option});
        EXPECT_EQ(std::vector<const Component*>{&component}, one.named) << Strings::ToUtf8(component.option);
        EXPECT_NE(String::npos, CommandLine::Usage(L"restore").find(String(L" ") + component.option))
            << Strings::ToUtf8(component.option);
    }

    options = CommandLine::Parse({L"verify", L"--help", L"--bogus"});
    EXPECT_TRUE(options.help);
    EXPECT_EQ(L"verify", options.verb);
    const String usage = CommandLine::Usage(options.verb);
    EXPECT_NE(String::npos, usage.find(L"ssbr verify  <dir> [--json]"));
    EXPECT_EQ(String::npos, usage.find(L"ssbr backup"));
    EXPECT_NE(String::npos, usage.find(L"3 done, but a component"));
}

TEST(SsbrJson, ReadsBackWhatItWritesAndRefusesWhatIsNotOneValue)
{
    JsonValue document = JsonValue::Object();
    document.Set(L"text", L"quote \" backslash \\ tab \t line\n \u00e9\u4e2d");
    document.Set(L"count", uint64_t(5000000000));
    document.Set(L"seconds", 1.25);
    document.Set(L"flag", false);
    document.Set(L"none", JsonValue());
    JsonValue& list = document.Set(L"list", JsonValue::Array());
    list.Add(1);
    list.Add(JsonValue::Object());
    const std::string text = document.Write();
    EXPECT_NE(std::string::npos, text.find("\"count\": 5000000000,"));
    EXPECT_NE(std::string::npos, text.find("\"seconds\": 1.250,"));

    const JsonValue back = JsonValue::Parse(text);
    EXPECT_EQ(document[L"text"].AsText(), back[L"text"].AsText());
    EXPECT_EQ(5000000000.0, back[L"count"].AsNumber());
    EXPECT_FALSE(back[L"flag"].AsBoolean(true));
    EXPECT_TRUE(back[L"none"].IsNull());
    EXPECT_EQ(2u, back[L"list"].Items().size());
    EXPECT_TRUE(back[L"missing"].IsNull());
    EXPECT_EQ(L"\u00e9", JsonValue::Parse("\"\\u00e9\"").AsText());
    // A catalog file that is not one value is no catalog, whatever is wrong with it.
    for (const char* text : {"", "{\"a\" 1}", "[1, 2", "\"open", "{} {}", "tru"})
        EXPECT_THROW(JsonValue::Parse(text), JsonException) << text;
}

TEST(SsbrProgress, ComponentAtWorkFollowsWhatAppearsInTheTarget)
{
    const std::vector<Progress::Stage> stages = {
        {L"boot files", {L"BootFiles", L"SPF"}, L"CoreBootSystemFilesBackupSet.xml"},
        {L"cluster database", {L"Cluster"}, L""},
        {L"registry", {L"Reg"}, L"RegistryBackupSet.xml"},
        {L"COM+ database", {}, L"comDB.reg"},
    };
    const std::pair<std::vector<String>, const wchar_t*> cases[] = {
        {{}, L"boot files"},
        {{L"BootFiles"}, L"boot files"},
        {{L"BootFiles", L"SPF", L"CoreBootSystemFilesBackupSet.xml"}, L"cluster database"},
        {{L"BootFiles", L"CoreBootSystemFilesBackupSet.xml", L"Cluster"}, L"cluster database"},
        {{L"BootFiles", L"CoreBootSystemFilesBackupSet.xml", L"Cluster", L"reg"}, L"registry"},
        {{L"Reg", L"RegistryBackupSet.xml"}, L"COM+ database"},
        {{L"Reg", L"RegistryBackupSet.xml", L"comDB.reg"}, L"COM+ database"},
    };
    for (const auto& each : cases)
        EXPECT_EQ(String(each.second), stages[Progress::StageAtWork(stages, each.first)].name)
            << Strings::ToUtf8(each.second);
}
