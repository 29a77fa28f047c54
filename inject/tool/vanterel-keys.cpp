// vanterel-keys: presses key combos the way the program does, through the
// same choice of backend, so that a binding can be tried before it goes on a
// panel. Exit status: 0 pressed, 1 nothing to press with (no backend, no such
// window), 2 a bad option or combo.
#include "inject/Injector.h"
#include "inject/KeyConstads.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vanterel::inject::Combo;

constexpr int MaxHoldMs = 10000;

const char Usage[] = "Usage: vanterel-keys [--window TITLE] [--hold MS] COMBO...\n";

void printHelp()
{
    std::printf("%s\n"
                "Presses each COMBO in turn, the way Vanterel presses a binding, and prints\n"
                "which backend pressed them.\n"
                "\n"
                "  COMBO         a key name or code, with modifiers in front: Ctrl+Shift+A, F1,\n"
                "                Alt+NUMPADENTER, 30, 0x1E, Shift+0x9C. Codes are the target's\n"
                "                (PC scan codes, 128 added for extended keys); modifiers are\n"
                "                Shift, Ctrl and Alt, in any letter case. 0 to 9 are the digit\n"
                "                keys; write codes below 10 in hexadecimal (0x1 is ESCAPE).\n"
                "  --window TITLE  bring the window of that title to the front first\n"
                "                (no regard to case); without it the keys go to the focused window\n"
                "  --hold MS     how long each key stays down, 0 to %d (default %d)\n"
                "  --help        this text\n"
                "\n"
                "Each combo is printed with its code and its modifier mask as keys.dat\n"
                "writes them (1 Shift, 2 Ctrl, 4 Alt).\n"
                "Exit status: 0 pressed, 1 no backend or no such window, 2 bad arguments.\n"
                "\n"
                "Key names:",
                Usage, MaxHoldMs, static_cast<int>(vanterel::inject::DefaultHold.count()));
    int column = 80;
    for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys()) {
        if (key.linuxCode == 0 || KeyConstads::FindKeyByName(key.name) != &key)
            continue; // NONE presses nothing; the second NUMPADDOT only by code
        const int width = static_cast<int>(std::string_view(key.name).size()) + 1;
        if (column + width > 78) {
            std::printf("\n ");
            column = 1;
        }
        std::printf(" %s", key.name);
        column += width;
    }
    std::printf("\n");
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "vanterel-keys: %s\n%sTry 'vanterel-keys --help' for more.\n", message.c_str(),
                 Usage);
    return 2;
}

// A whole decimal or 0x-hexadecimal number, or -1.
long number(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    long value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty() ? value : -1;
}

// Reads "Ctrl+Shift+A"; says what is wrong with it, or nothing.
std::string parseCombo(std::string_view text, Combo &combo)
{
    combo = Combo{0, false, false, false};
    std::string_view rest = text;
    // The key comes after the last '+': no key is named "+", so every '+'
    // separates.
    // Joined with += rather than "literal" + std::string: GCC 12 warns about
    // the latter in optimised builds (a false -Wrestrict).
    const auto complaint = [text](std::initializer_list<std::string_view> parts) {
        std::string message = "\"";
        message += text;
        message += "\": ";
        for (const std::string_view part : parts)
            message += part;
        return message;
    };
    for (std::size_t plus = rest.find('+'); plus != std::string_view::npos; plus = rest.find('+')) {
        const std::string_view modifier = rest.substr(0, plus);
        if (KeyConstads::SameLetters(modifier, "shift"))
            combo.shift = true;
        else if (KeyConstads::SameLetters(modifier, "ctrl") || KeyConstads::SameLetters(modifier, "control"))
            combo.ctrl = true;
        else if (KeyConstads::SameLetters(modifier, "alt"))
            combo.alt = true;
        else
            return complaint({"\"", modifier, "\" is no modifier (Shift, Ctrl, Alt)"});
        rest.remove_prefix(plus + 1);
    }
    if (rest.empty())
        return complaint({"no key after the modifiers"});

    const KeyConstads::KeyInfo *key = KeyConstads::FindKeyByName(rest);
    if (!key && !rest.empty() && std::isdigit(static_cast<unsigned char>(rest[0]))) {
        const long code = number(rest);
        key = code >= 0 && code <= 0xFFFF ? KeyConstads::FindKey(static_cast<std::int32_t>(code)) : nullptr;
        if (!key)
            return complaint({"code ", rest, " names no key"});
    }
    if (!key)
        return complaint({"no key named \"", rest, "\""});
    if (key->linuxCode == 0)
        return complaint({key->name, " presses nothing"});
    combo.keyCode = key->code;
    return {};
}

} // namespace

int main(int argc, char **argv)
{
    std::string window;
    bool windowGiven = false;
    long holdMs = vanterel::inject::DefaultHold.count();
    std::vector<std::string> texts;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options && (arg == "--help" || arg == "-h")) {
            printHelp();
            return 0;
        }
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "--window" || arg == "--hold")) {
            if (i + 1 == argc)
                return fail(std::string(arg) + " needs a value");
            const std::string_view value = argv[++i];
            if (arg == "--window") {
                window = value;
                windowGiven = true;
            } else {
                holdMs = number(value);
                if (holdMs < 0 || holdMs > MaxHoldMs)
                    return fail("--hold " + std::string(value) + ": not a number of milliseconds from 0 to "
                                + std::to_string(MaxHoldMs));
            }
        } else if (options && arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            return fail("unknown option " + std::string(arg));
        } else {
            texts.emplace_back(arg); // "-" is the key named "-"
        }
    }
    if (texts.empty())
        return fail("no combo to press");
    if (windowGiven && window.empty())
        return fail("--window needs a title");

    std::vector<Combo> combos(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (const std::string error = parseCombo(texts[i], combos[i]); !error.empty())
            return fail(error);

    vanterel::inject::InjectorChoice choice
        = vanterel::inject::CreateInjector(std::chrono::milliseconds(holdMs));
    std::printf("%s\n", choice.logLine.c_str());
    if (!choice.injector)
        return 1;
    vanterel::inject::WindowHandle target = 0;
    if (windowGiven) {
        target = choice.injector->FindWindow(window);
        if (target == 0) {
            std::fprintf(stderr, "vanterel-keys: no window titled \"%s\"\n", window.c_str());
            return 1;
        }
    }
    for (std::size_t i = 0; i < combos.size(); ++i) {
        const Combo &c = combos[i];
        std::printf("%s: key %d, modifiers %d\n", texts[i].c_str(), static_cast<int>(c.keyCode),
                    (c.shift ? 1 : 0) | (c.ctrl ? 2 : 0) | (c.alt ? 4 : 0));
        choice.injector->PressCombo(c.keyCode, c.alt ? -1 : 0, c.ctrl ? -1 : 0, c.shift ? -1 : 0, target);
    }
    std::fflush(stdout);
    // Returns once every key is up again.
    choice.injector->shutdown();
    return 0;
}
