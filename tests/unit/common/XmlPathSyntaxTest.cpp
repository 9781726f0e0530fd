#include "xml/XmlPathSyntax.h"

#include <gtest/gtest.h>

static void ExpectWellFormed(std::initializer_list<const wchar_t*> queries, bool expected)
{
    for (const wchar_t* query : queries)
        EXPECT_EQ(expected, XmlPathSyntax::IsWellFormed(query)) << Strings::ToUtf8(query);
}

TEST(XmlPathSyntax, AcceptsThePathsTheManifestsUseAndTheRestOfTheGrammar)
{
    ExpectWellFormed({L"/BackupSet/files", L"/BackupSet/dbfiles/file[@name='edb00001.log']",
                      L"/BackupSet/dbfiles/file[@name='']", L"/BackupSet/dbfiles/file[@name='C:\\db\\ntds.dit']",
                      L"/", L"files", L"./files", L"..", L"../BackupSet", L"//file", L"/BackupSet//file", L"*",
                      L"/BackupSet/*", L"@type", L"/BackupSet/@type", L"file[1]", L"file[12.5]", L"file[2.]",
                      L"file[@name=\"it's\"]", L"file[ @name = 'a' ]", L"file[@name!='a']", L"file[@name]",
                      L"file[@a='1' and @b='2']", L"file[@a='1'or@b='2']", L"file[@a='1' or @b='2' and @c]",
                      L"file[name='x']", L"file[text()='x']", L"file[.='x']", L"file[sub/@a='x']",
                      L"file[@a='1'][@b='2']", L"node()", L"/BackupSet/text()", L"ns:file", L"ns:*",
                      L"file-name_1.x", L"d\u00e9j\u00e0", L"file[order='1']", L"file[andy]", L"file['x'=@a]",
                      L"file[@a=\"\"]"},
                     true);
}

TEST(XmlPathSyntax, RejectsUnbalancedQuotesAndBracketsAndWhatTheGrammarLacks)
{
    // The first is what an unquoted file name with an apostrophe turns into.
    ExpectWellFormed({L"/BackupSet/dbfiles/file[@name='o'brien.edb']", L"file[@name='a]", L"file[@name=\"a]",
                      L"file[@name='a'", L"file[", L"file]", L"file[]", L"file[[1]]", L"file[@name='a']]",
                      L"a'b", L"\"a\"", L"'a'", L"", L" ", L"//", L"///file", L"/BackupSet/", L"/BackupSet//",
                      L"/ BackupSet", L"/BackupSet ",
                      L"Backup Set", L"1file", L"-file", L"@", L"@@a", L"file[@]", L"file[@name=]",
                      L"file[=@name]", L"file[@name=='a']", L"file[@name<'a']", L"file[@a='1' and]",
                      L"file[and @a]", L"file[@a='1' xor @b='2']", L"count(file)", L"file()", L"text( )",
                      L"file[position()=1]", L"file[-1]", L"file[1a]", L"file[1..2]", L"/a|/b", L"$var",
                      L"file[sub[@a]]", L"child::file", L"ns:", L"ns::file", L"a/b[1]/", L"file\n"},
                     false);
}
