#include "CommandLine.h"

#include <algorithm>

namespace
{
    struct Verb
    {
        const wchar_t* name;
        bool takesDirectory;
        bool takesComponents;
        std::initializer_list<const wchar_t*> flags;    // options without a value
        std::initializer_list<const wchar_t*> valued;   // options with one
        const wchar_t* synopsis;
        const wchar_t* summary;
    };

    const Verb Verbs[] = {
        {L"backup", true, true, {L"--truncate-logs", L"--quiet", L"--json"},
         {L"--server", L"--domain", L"--user", L"--password-env"},
         L"ssbr backup  <dir> COMPONENTS [--server NAME] [--domain D --user U --password-env VAR]\n"
         L"                   [--truncate-logs] [--quiet] [--json]",
         L"Backs up the components into <dir> (emptied first) and writes its catalog there:\n"
         L"SHA256SUMS and backup.json."},
        {L"restore", true, true, {L"--force-cluster-shutdown", L"--no-verify", L"--other-server", L"--quiet", L"--json"},
         {L"--server", L"--domain", L"--user", L"--password-env", L"--quorum-drive"},
         L"ssbr restore <dir> COMPONENTS [--server NAME] [--domain D --user U --password-env VAR]\n"
         L"                   [--force-cluster-shutdown] [--quorum-drive LETTER] [--no-verify]\n"
         L"                   [--other-server] [--quiet] [--json]",
         L"Verifies the backup in <dir> and restores the components from it; --all restores what it\n"
         L"holds. A damaged backup, or one that lacks a component named, is refused unless\n"
         L"--no-verify is given: the folder is then handed to the components as it is. A backup\n"
         L"taken on a server of another name is refused unless --other-server is given (that is a\n"
         L"migration, not a recovery)."},
        {L"status", false, false, {L"--json"}, {L"--server"}, L"ssbr status  [--server NAME] [--json]",
         L"Shows the machine's Windows version, roles and restore mode."},
        {L"list", true, false, {L"--json"}, {}, L"ssbr list    <dir> [--json]",
         L"Shows what the backup in <dir> holds: components, files, sizes and the live paths they came from."},
        {L"verify", true, false, {L"--json"}, {}, L"ssbr verify  <dir> [--json]",
         L"Checks the backup in <dir> against its catalog: missing, changed and extra files."},
    };

    const Verb* FindVerb(const String& name)
    {
        for (const Verb& verb : Verbs)
            if (name == verb.name)
                return &verb;
        return nullptr;
    }

    StringList OptionsOf(const Verb& verb)
    {
        StringList options = {L"--help"};
        if (verb.takesComponents)
        {
            options.push_back(L"--all");
            for (const Component& component : Components::All())
                options.push_back(component.option);
        }
        for (const wchar_t* flag : verb.flags)
            options.push_back(flag);
        for (const wchar_t* valued : verb.valued)
            options.push_back(valued);
        return options;
    }

    bool Contains(std::initializer_list<const wchar_t*> list, const String& item)
    {
        return std::any_of(list.begin(), list.end(), [&](const wchar_t* entry) { return item == entry; });
    }

    size_t Distance(const String& a, const String& b)
    {
        std::vector<size_t> row(b.size() + 1);
        for (size_t j = 0; j <= b.size(); ++j)
            row[j] = j;
        for (size_t i = 1; i <= a.size(); ++i)
        {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= b.size(); ++j)
            {
                const size_t above = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
                diagonal = above;
            }
        }
        return row[b.size()];
    }

    String ComponentsText()
    {
        String text = L"COMPONENTS: --all, or any of";
        size_t lineStart = 0;
        for (const Component& component : Components::All())
        {
            if (text.size() - lineStart + 1 + wcslen(component.option) > 90)
            {
                text += L"\n           ";
                lineStart = text.size() - 11;
            }
            text += L' ';
            text += component.option;
        }
        return text + L"\n";
    }

    const wchar_t* const ExitCodes =
        L"Exit codes: 0 success; 1 failure, or a damaged backup; 2 bad usage; 3 done, but a component\n"
        L"that was named was skipped (the machine does not have it, or not now).\n";
}

namespace CommandLine
{
    String Nearest(const String& typed, const StringList& candidates)
    {
        String best;
        size_t bestDistance = 0;
        for (const String& candidate : candidates)
        {
            const size_t distance = Distance(typed, candidate);
            if (best.empty() || distance < bestDistance)
                best = candidate, bestDistance = distance;
        }
        // Two slips, or a third of a long word.
        return bestDistance <= std::max<size_t>(2, typed.size() / 3) && bestDistance < typed.size() ? best : String();
    }

    String Usage(const String& verbName)
    {
        const Verb* verb = FindVerb(verbName);
        String text = L"usage:\n";
        for (const Verb& each : Verbs)
            if (verb == nullptr || verb == &each)
                text += String(L"  ") + each.synopsis + L"\n";
        if (verb != nullptr)
            text += String(L"\n") + verb->summary + L"\n";
        if (verb == nullptr || verb->takesComponents)
        {
            text += ComponentsText();
            text += L"The password is read from the environment variable named by --password-env, never from\n"
                    L"the command line. --server defaults to this computer. --quiet: no progress line. --json: one\n"
                    L"document on standard output with each component's outcome.\n";
        }
        return text + ExitCodes;
    }

    Options Parse(const std::vector<String>& arguments)
    {
        Options options;
        if (std::find(arguments.begin(), arguments.end(), L"--help") != arguments.end() ||
            std::find(arguments.begin(), arguments.end(), L"-h") != arguments.end())
        {
            options.help = true;
            if (!arguments.empty() && FindVerb(arguments[0]) != nullptr)
                options.verb = arguments[0];
            return options;
        }
        if (arguments.empty())
            throw UsageError{L"no command given", String()};

        options.verb = arguments[0];
        const Verb* verb = FindVerb(options.verb);
        if (verb == nullptr)
        {
            StringList names;
            for (const Verb& each : Verbs)
                names.push_back(each.name);
            const String nearest = Nearest(options.verb, names);
            throw UsageError{Strings::Format(L"unknown command '%s'", options.verb.c_str()) +
                                 (nearest.empty() ? String() : L"; did you mean " + nearest + L"?"),
                             String()};
        }

        size_t index = 1;
        if (verb->takesDirectory)
        {
            // An empty or blank folder names no folder at all (the system would take the current one).
            if (index >= arguments.size() || arguments[index].rfind(L"--", 0) == 0 ||
                arguments[index].find_first_not_of(L" \t") == String::npos)
                throw UsageError{Strings::Format(L"%s needs a backup directory", verb->name), verb->name};
            options.directory = arguments[index++];
        }

        auto valueOf = [&](const String& option) -> String {
            if (index + 1 >= arguments.size())
                throw UsageError{Strings::Format(L"%s needs a value", option.c_str()), verb->name};
            return arguments[++index];
        };

        for (; index < arguments.size(); ++index)
        {
            const String& argument = arguments[index];
            if (verb->takesComponents)
            {
                // Also "--password=...": refused without being echoed back.
                if (argument.rfind(L"--password", 0) == 0 && argument != L"--password-env")
                    throw UsageError{L"a password is never taken on the command line; put it in an environment "
                                     L"variable and name that with --password-env",
                                     verb->name};
                if (argument == L"--all")
                {
                    options.all = true;
                    continue;
                }
                const auto components = Components::All();
                const auto component = std::find_if(components.begin(), components.end(),
                                                    [&](const Component& each) { return argument == each.option; });
                if (component != components.end())
                {
                    if (std::find(options.named.begin(), options.named.end(), &*component) == options.named.end())
                        options.named.push_back(&*component);
                    continue;
                }
            }
            if (Contains(verb->flags, argument))
            {
                if (argument == L"--truncate-logs")
                    options.truncateLogs = true;
                else if (argument == L"--force-cluster-shutdown")
                    options.forceClusterShutdown = true;
                else if (argument == L"--no-verify")
                    options.noVerify = true;
                else if (argument == L"--other-server")
                    options.otherServer = true;
                else if (argument == L"--quiet")
                    options.quiet = true;
                else if (argument == L"--json")
                    options.json = true;
                continue;
            }
            if (Contains(verb->valued, argument))
            {
                const String value = valueOf(argument);
                if (argument == L"--server")
                    options.server = value;
                else if (argument == L"--domain")
                    options.domain = value;
                else if (argument == L"--user")
                    options.user = value;
                else if (argument == L"--password-env")
                    options.passwordVariable = value;
                else if (argument == L"--quorum-drive")
                    options.quorumDrive = value;
                continue;
            }

            // Another verb's option is named as such; anything else gets the nearest of ours.
            for (const Verb& other : Verbs)
            {
                const StringList theirs = OptionsOf(other);
                if (std::find(theirs.begin(), theirs.end(), argument) != theirs.end())
                    throw UsageError{Strings::Format(L"%s is not an option of %s", argument.c_str(), verb->name),
                                     verb->name};
            }
            if (argument.rfind(L"-", 0) != 0)
                throw UsageError{Strings::Format(L"unexpected argument '%s'", argument.c_str()), verb->name};
            const String nearest = Nearest(argument, OptionsOf(*verb));
            throw UsageError{Strings::Format(L"unknown option %s", argument.c_str()) +
                                 (nearest.empty() ? String() : L"; did you mean " + nearest + L"?"),
                             verb->name};
        }

        if (verb->takesComponents && !options.all && options.named.empty())
            throw UsageError{Strings::Format(L"%s needs at least one component: name them, or give --all", verb->name),
                             verb->name};
        return options;
    }
}
