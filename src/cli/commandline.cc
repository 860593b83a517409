#include "cli/commandline.h"

#include "register/failure.h"
#include "register/file_io.h"
#include "register/holder.h"
#include "register/journal.h"
#include "register/members.h"
#include "register/paths.h"
#include "register/registry.h"
#include "register/text_forms.h"
#include "register/trail.h"
#include "register/verify.h"
#include "tui/convert.h"

#include <sys/stat.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

struct set_option {
    int command;
    const char* name;
    register_member member;
};

// In ascending command number, the order in which exec applies them.
const std::array<set_option, 12> set_options = {{
    {4, "setcashcode", &registry::cashcode},
    {5, "setshift", &registry::shift},
    {6, "setchecknum", &registry::checknum},
    {7, "setshift_begin", &registry::shift_begin},
    {8, "setcount_sale", &registry::count_sale},
    {9, "setcount_back", &registry::count_back},
    {10, "settcount_sale", &registry::tcount_sale},
    {11, "settcount_back", &registry::tcount_back},
    {12, "setsum_sale", &registry::sum_sale},
    {13, "setsum_back", &registry::sum_back},
    {14, "settsum_sale", &registry::tsum_sale},
    {15, "settsum_back", &registry::tsum_back},
}};

struct print_line {
    const char* key;
    register_member member;
};

// The current shift's quartet comes before the other one.
const std::array<print_line, 12> print_lines = {{
    {"cashcode", &registry::cashcode},
    {"shift", &registry::shift},
    {"checknum", &registry::checknum},
    {"shift_begin", &registry::shift_begin},
    {"tcount_sale", &registry::tcount_sale},
    {"tcount_back", &registry::tcount_back},
    {"tsum_sale", &registry::tsum_sale},
    {"tsum_back", &registry::tsum_back},
    {"count_sale", &registry::count_sale},
    {"count_back", &registry::count_back},
    {"sum_sale", &registry::sum_sale},
    {"sum_back", &registry::sum_back},
}};

constexpr auto usage =
    "Использование: %s [опции] файл\n"
    "Опции:\n"
    "\t--print - вывести содержимое реестра на экран\n"
    "\t--create - создать пустой файл реестра\n"
    "\t--setcashcode - установить код кассы\n"
    "\t--setshift - установить номер текущей смены\n"
    "\t--setchecknum - установить номер текущего чека\n"
    "\t--setshift_begin - установить дату начала смены (формат ДД.ММ.ГГГГ)\n"
    "\t--setcount_sale - установить счетчик продаж\n"
    "\t--setcount_back - установить счетчик возвратов\n"
    "\t--settcount_sale - установить счетчик продаж текущей смены\n"
    "\t--settcount_back - установить счетчик возвратов текущей смены\n"
    "\t--setsum_sale - установить сумму продаж\n"
    "\t--setsum_back - установить сумму возвратов\n"
    "\t--settsum_sale - установить сумму продаж текущей смены\n"
    "\t--settsum_back - установить сумму возвратов текущей смены\n"
    "\t--help - вывести данную информацию\n"
    // The lines above are the program's own from the start, as tills and
    // scripts know them; what came later is written the way a technician
    // says it, each option with the form of its argument.
    "\t--verify - проверить реестр: повреждения и прерванное изменение\n"
    "\t--history - показать журнал изменений, последние сверху\n"
    "\t--undo[=N] - отменить последнее изменение или изменение N из журнала\n"
    "\t--init - создать пустой реестр, только если файла нет или он пустой\n"
    "\t--json - вывести значения одной строкой JSON\n"
    "\t--dry-run - показать, что изменится, ничего не записывая\n"
    "\t--reason ТЕКСТ - причина изменения, для журнала\n"
    "\t--operator ИМЯ - кто запускает удалённо, для журнала\n"
    "\t--version - вывести версию программы\n"
    "Значения параметров:\n"
    "\tномер кассы, смены, чека и счётчики - целое от 0 до 65535\n"
    "\tсуммы - 12.50 или 12,50, от 0 до 999999999999.99\n"
    "\tдата начала смены - ДД.ММ.ГГГГ, \"ДД.ММ.ГГГГ чч:мм\" или ГГГГ-ММ-ДДTчч:мм\n"
    "Без параметров открывается редактор реестра /quelvaris/cash/data/cash.reg.\n"
    "TARNEX_ROOT=каталог - считать каталог корнем для реестра кассы и файла\n"
    "\tномера кассы (копия, диск кассы, смонтированный в другом месте).\n\n"_cp;

// A full disk or a closed pipe on standard output is a failure, not a
// success.  After the register was written the failure says so, so that a
// script that retries does not make the change again (a second undo redoes).
void flush_output(const std::string& changed = "") {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    if (!changed.empty()) fail("Error: can't write file %s; the register %s was changed\n", "standard output", changed);
    fail("Error: can't write file %s\n", "standard output");
}

// The twelve values as one JSON object on one line, keys in print order;
// after --verify, what it found last (`verified`: its keys, from "damage").
void print_json(const registry& reg, const std::string& verified) {
    std::string json = "{";
    for (const print_line& line : print_lines) {
        json.append(json.size() > 1 ? ", \"" : "\"").append(line.key).append("\": ");
        json.append(member_json(reg, line.member));
    }
    std::printf("%s%s}\n", json.c_str(), verified.c_str());
}

// The cash code file as the verify sees it: its text, read under the link
// rule (none when it is missing or cannot be read), and the desk it should
// name, that of the till's own register (none for any other register, whose
// desk the file does not name).  A crash between the two writes of a change
// leaves it behind, until the next change brings it along.
struct cashcode_look {
    std::string path = rooted(cashcode_file);
    std::optional<std::string> text, desk;
    bool agrees() const { return !desk || text == desk; }
};

cashcode_look look_at_cashcode(const std::string& file) {
    cashcode_look look;
    look.text = read_followed(look.path, 64);
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && tills_register(st)) {
        registry reg(file);
        reg.load();
        look.desk = member_text(reg, &registry::cashcode);
    }
    return look;
}

// Damage, a change a crash interrupted and a cash code file left behind are
// reported before anything else is done, and stop the run.  For --json the
// damage is the one object printed, each finding's "offset N: " taken apart;
// a sound file prints nothing here and its values say so.  Returns the keys
// --json adds to them.
std::string verify(const std::string& file, bool json) {
    const std::vector<std::string> findings = verify_file(file);
    const std::optional<interruption> broken = interrupted_change(file);
    std::string keys = ", \"interrupted\": null", fields;
    if (broken) {
        for (const std::string& f : broken->fields) fields.append(fields.empty() ? "" : ", ").append(f);
        keys = ", \"interrupted\": {\"number\": " + std::to_string(broken->number) + ", \"fields\": [";
        for (std::size_t i = 0; i < broken->fields.size(); ++i)
            keys.append(i ? ", " : "").append(json_string(broken->fields[i]));
        keys += "]}";
    }
    const cashcode_look code = look_at_cashcode(file);
    const bool lags = findings.empty() && !code.agrees();
    keys += ", \"cashcode_file\": {\"path\": " + json_string(code.path) + ", \"text\": " +
            (code.text ? json_string(escaped(*code.text)) : "null") +
            ", \"agrees\": " + (code.desk ? code.agrees() ? "true" : "false" : "null") + "}";
    if (!json) {
        for (const std::string& line : findings) std::printf("%s\n", line.c_str());
        if (broken) std::printf("interrupted change %llu: %s\n", static_cast<unsigned long long>(broken->number), fields.c_str());
        if (lags)
            std::printf("cash code file %s %s, the register desk %s\n", escaped(code.path).c_str(),
                        code.text ? ("names desk " + escaped(*code.text)).c_str() : "can't be read", code.desk->c_str());
        if (findings.empty() && !broken && !lags) std::printf("ok\n");
    } else if (!findings.empty()) {
        std::string out = "{\"damage\": [";
        for (const std::string& line : findings) {
            const std::size_t colon = line.find(": ");
            out.append(out.back() == '[' ? "{" : ", {").append("\"offset\": ").append(line.substr(7, colon - 7));
            out.append(", \"finding\": ").append(json_string(line.substr(colon + 2))).append("}");
        }
        std::printf("%s]%s}\n", out.c_str(), keys.c_str());
    } else if (broken || lags) {
        registry reg(file);
        reg.load();
        print_json(reg, ", \"damage\": []" + keys);
    }
    flush_output();
    if (!findings.empty() || broken || lags) std::exit(1);
    return ", \"damage\": []" + keys;
}

// --history: the journal, newest first, as text or JSON lines.
void history(const std::string& file, bool json) {
    const std::vector<journal_record> records = read_journal(file);
    for (std::size_t i = records.size(); i-- > 0;) {
        if (records[i].kind == change_kind::not_made) continue;
        const bool made = undoable(records, i);
        const std::string line = json ? history_json(records[i], made) : history_line(records[i], made);
        std::printf("%s\n", line.c_str());
    }
    flush_output();
    std::exit(0);
}

// --init: a blank register made only where there is none or the file is
// empty, decided under the lock (a cash desk that writes its first register
// meanwhile keeps it); a file that holds anything is left alone.  --json
// says which, and --dry-run what it would be, writing nothing.
void init(const std::string& file, bool dry, bool json) {
    bool created = false;
    if (dry) {
        created = probe_make_register(file);
        if (!created) {
            probe_register(file);  // the run locks it, whatever it holds
            std::size_t length = 0;
            read_image(file, &length);
            created = length == 0;
            struct stat st;
            if (created && stat(file.c_str(), &st) == 0) journal(file, st).probe();
        } else {
            probe_owned(journal_path(file));  // the new register's journal is made beside it
        }
    } else {
        hold_signals_until_exit();
        registry reg(file);
        // The journal a new register gets must be one that can be made,
        // before the register is linked in, so that the run fails whole.
        probe_owned(journal_path(file));
        created = reg.create();
        if (!created) {
            reg.lock();
            reg.load();
            created = reg.length() == 0;
            // The blank image byte for byte, as one made where none was
            // (its desk and receipt numbers stored as 0), written as
            // --create writes, cash code file and all.
            if (created) {
                reg.clear();
                reg.cashcode = reg.checknum = 0;
                reg.save(field_set().set());
            }
        }
    }
    if (json) std::printf("{\"created\": %s}\n", created ? "true" : "false");
    flush_output(created && !dry ? file : "");
    std::exit(0);
}

// The number --undo=N names: digits only, not 0.
std::uint64_t change_number(const std::string& text) {
    if (text.empty()) return 0;
    std::uint64_t n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || n > (UINT64_MAX - 9) / 10) fail("Error: bad value '%s' for --undo\n", text);
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (n == 0) fail("Error: bad value '%s' for --undo\n", text);
    return n;
}

// Every value is looked at before the file is, so that one mistyped value
// never becomes half a change.
void check_values(const std::map<int, std::string>& commands, const std::string& file) {
    registry probe(file);
    for (const set_option& o : set_options)
        if (auto it = commands.find(o.command); it != commands.end() && !set_member(probe, o.member, it->second))
            fail("Error: bad value '%s' for --%s\n", it->second, o.name);
}

// getopt_long's own complaints, in its words, which callers recognise, but
// written here with every text from the command line escaped: a typed option
// must not reach a terminal raw.  getopt_long leaves the option it refused
// at argv[optind - 1]; optopt is 0 for a long option it does not know, the
// option's number for a missing or unwanted argument, and the character of
// a refused single-dash option (there are none).
void option_error(int argc, char** argv, const std::vector<option>& table) {
    const std::string program = escaped(argv[0]);
    const std::string_view last = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
    const bool dashes = last.size() > 2 && last.starts_with("--");
    const std::string_view name = dashes ? last.substr(2, last.find('=') - 2) : "";
    std::vector<const option*> matches;
    const option* exact = nullptr;
    for (const option& o : table) {
        if (!o.name || !std::string_view(o.name).starts_with(name)) continue;
        matches.push_back(&o);
        if (name == o.name) exact = &o;
    }
    if (dashes && optopt == 0) {
        if (matches.size() > 1 && !exact) {
            std::string line = program + ": option '" + escaped(last) + "' is ambiguous; possibilities:";
            for (const option* o : matches) line.append(" '--").append(o->name).append("'");
            std::fprintf(stderr, "%s\n", line.c_str());
        } else {
            std::fprintf(stderr, "%s: unrecognized option '%s'\n", program.c_str(), escaped(last).c_str());
        }
        return;
    }
    const option* found = exact ? exact : matches.size() == 1 ? matches.front() : nullptr;
    if (dashes && found && found->val == optopt) {
        const bool valued = last.find('=') != std::string_view::npos;
        if (found->has_arg == no_argument && valued) {
            std::fprintf(stderr, "%s: option '--%s' doesn't allow an argument\n", program.c_str(), found->name);
            return;
        }
        if (found->has_arg == required_argument && !valued && optind == argc) {
            std::fprintf(stderr, "%s: option '--%s' requires an argument\n", program.c_str(), found->name);
            return;
        }
    }
    const char refused = static_cast<char>(optopt);
    std::fprintf(stderr, "%s: invalid option -- '%s'\n", program.c_str(), escaped(std::string_view(&refused, 1)).c_str());
}

}  // namespace

std::vector<option> long_options() {
    std::vector<option> table = {
        {"print", no_argument, nullptr, command_print},
        {"create", no_argument, nullptr, command_create},
    };
    for (const set_option& o : set_options) table.push_back({o.name, required_argument, nullptr, o.command});
    table.push_back({"help", no_argument, nullptr, command_help});
    // No option began with "v" before these two, so no abbreviation that
    // worked has become ambiguous.
    table.push_back({"version", no_argument, nullptr, command_version});
    table.push_back({"verify", no_argument, nullptr, command_verify});
    // Nothing else begins with "u".
    // --undo=N names a change of the history; --undo alone, the last one.
    table.push_back({"undo", optional_argument, nullptr, command_undo});
    // Nothing else begins with "j" or "d".
    table.push_back({"json", no_argument, nullptr, command_json});
    table.push_back({"dry-run", no_argument, nullptr, command_dry_run});
    // Nothing else begins with "r".
    table.push_back({"reason", required_argument, nullptr, command_reason});
    // Nothing else begins with "o".
    table.push_back({"history", no_argument, nullptr, command_history});
    table.push_back({"operator", required_argument, nullptr, command_operator});
    // Nothing else begins with "i".
    table.push_back({"init", no_argument, nullptr, command_init});
    // "--h" was --help's shortest form before --history: scripts that type
    // it still get help, as an exact name wins over a prefix.
    table.push_back({"h", no_argument, nullptr, command_help});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

void commandline(int argc, char** argv) {
    const std::vector<option> table = long_options();
    std::map<int, std::string> commands;
    bool refused = false;
    int index = 0;
    opterr = 0;  // its complaints are written by option_error
    for (int c; (c = getopt_long(argc, argv, "", table.data(), &index)) != -1;) {
        if (c == '?') {
            option_error(argc, argv, table);
            refused = true;
            continue;
        }
        if (c == command_help) {
            convert::take_locale();
            std::printf(convert::to_string(usage).c_str(), escaped(argv[0]).c_str());
            flush_output();
            std::exit(0);
        }
        if (c == command_version) {
            std::printf("tarnex %s\n", TARNEX_VERSION);
            flush_output();
            std::exit(0);
        }
        // getopt_long has said what is wrong; a --help or --version further
        // on still wins, so the words are read to the end.
        if ((c > command_create && c < command_help) || c == command_reason || c == command_operator ||
            c == command_undo)
            commands[c] = optarg ? optarg : "";
        else if (c == command_print || c == command_create || c == command_history || c == command_init ||
                 (c >= command_verify && c <= command_dry_run))
            commands[c] = "";
        else
            refused = true;
    }
    if (!refused && optind != argc - 1) {
        if (optind >= argc)
            std::fprintf(stderr, "%s: missing file operand\n", escaped(argv[0]).c_str());
        else
            std::fprintf(stderr, "%s: extra operand '%s'\n", escaped(argv[0]).c_str(), escaped(argv[optind + 1]).c_str());
        refused = true;
    }
    // A script that mistypes one option must not get the other half of its
    // change, nor a success.
    if (refused) fail("Try 'tarnex --help' for more information.\n");
    exec(commands, argv[optind]);
}

void exec(std::map<int, std::string> commands, std::string file) {
    // The history is read even where the register is gone.
    if (commands.count(command_history)) {
        if (commands.size() > 1 + commands.count(command_json))
            fail("Error: can't show the history of file %s and do more in one run\n", file);
        history(file, commands.count(command_json));
    }
    if (commands.count(command_init)) {
        const std::size_t with = commands.count(command_json) + commands.count(command_dry_run) +
                                 commands.count(command_reason) + commands.count(command_operator);
        if (commands.size() > 1 + with) fail("Error: can't make file %s a register and do more in one run\n", file);
        const auto reason = commands.find(command_reason);
        set_trail_reason(reason != commands.end() ? reason->second : "");
        const auto by = commands.find(command_operator);
        set_trail_operator(by != commands.end() ? by->second : "");
        init(file, commands.count(command_dry_run), commands.count(command_json));
    }
    check_values(commands, file);
    const std::uint64_t number = commands.count(command_undo) ? change_number(commands[command_undo]) : 0;
    struct stat st;
    if (stat(file.c_str(), &st) != 0) fail("Error: can't stat file %s\n", file);
    const std::string verified = commands.count(command_verify) ? verify(file, commands.count(command_json)) : "";

    registry reg(file);
    // A run that writes holds the lock from its read to its write, so that
    // what it prints and keeps is what is on disk, and no other writer's
    // change falls between.
    const bool dry = commands.count(command_dry_run), json = commands.count(command_json);
    const std::size_t reads = commands.count(command_print) + commands.count(command_verify) + json + dry +
                              commands.count(command_reason) + commands.count(command_operator);
    const bool changes = commands.size() > reads, undo = commands.count(command_undo);
    const bool writes = changes && !dry;
    if (undo && commands.size() > reads + 1) fail("Error: can't undo and change file %s in one run\n", file);
    const auto reason = commands.find(command_reason);
    set_trail_reason(reason != commands.end() ? reason->second : "");
    const auto by = commands.find(command_operator);
    set_trail_operator(by != commands.end() ? by->second : "");
    if (writes) {
        // Standard output closed under a run that has written is reported as
        // a failure that says so, not ended silently by the signal.
        std::signal(SIGPIPE, SIG_IGN);
        // A signal that comes while the lock is awaited or the change made
        // must not end the run after the change without a word: a caller
        // would retry, and a second undo redoes.  The run is short; it ends
        // as it would have, and what it printed says what it did.
        hold_signals_until_exit();
        // The cash desk program may be writing too; the technician should know.
        if (const auto other = find_holder(file); other && other->pid)
            warn("Warning: file %s is open in process %s (%s)\n", file, std::to_string(other->pid), other->name);
        else if (other)
            warn("Warning: file %s may be open in another process\n", file);
        reg.lock();
    } else if (dry && changes) {
        probe_register(file);  // fails as the change would fail to open it
        journal(file, st).probe();  // and its journal, read, not written
    }
    // A dry run compares what the run would leave with the file as it is,
    // and says what the change would first finish.
    registry before(file);
    if (dry && changes) before.load();
    if (const auto broken = dry && changes ? interrupted_change(file) : std::nullopt)
        warn("Warning: file %s has an interrupted change %s; the change finishes it first\n", file,
             std::to_string(broken->number));
    // A change says, as a read does, that the register it changes is
    // damaged, before it writes: an undo writes at once, so it looks first.
    constexpr const char* damage = "Warning: file %s is damaged; tarnex --verify %s lists what is wrong\n";
    if (undo) {
        registry now(file);
        if (!dry) now.load();
        // A file that is no register is refused as such, without the warning.
        (dry ? before : now).require_register();
        if ((dry ? before : now).damaged()) warn(damage, file, file);
    }
    if (undo && dry)
        reg.preview_undo(number);  // every refusal of the real undo, nothing written
    else if (undo)
        reg.undo(number);
    else if (commands.count(command_create))
        reg.clear();
    else
        reg.load();
    // Nothing is printed, staged or written for a change to a file that is
    // no register; a reader is only told, once, that what it reads is damaged.
    const bool create = commands.count(command_create);
    if (changes && !undo && !create) reg.require_register();
    if ((json || commands.count(command_print) || changes) && !create && !undo && reg.damaged()) warn(damage, file, file);

    field_set given;
    for (const set_option& o : set_options)
        if (auto it = commands.find(o.command); it != commands.end()) {
            set_member(reg, o.member, it->second);
            given |= fields_of(o.member);
        }
    // The values are printed before they are saved: a cash code file the
    // save could not write must stop the run before it prints values the
    // till will not hold.  An undo has written already and prints after.
    const std::string code_path = rooted(cashcode_file), desk = member_text(reg, &registry::cashcode);
    std::optional<std::string> code_now;  // what a dry run finds in the cash code file
    if (changes && dry && directory_missing(code_path)) {
        // A copy looked at on a machine that is no till: only the save
        // needs the cash code file.
        warn("Warning: there is no cash code file %s here; saving file %s needs one\n", code_path, file);
    } else if (changes && (dry || !undo)) {
        probe_staged(code_path, desk);
        if (dry) code_now = read_followed(code_path, 64);
    }

    if (json)
        print_json(reg, verified);
    else if (commands.count(command_print))
        for (const print_line& line : print_lines)
            std::printf("%s = %s\n", line.key, member_text(reg, line.member).c_str());
    if (dry && !json && changes) {
        // What the save would write, compared byte by byte: a time whose
        // seconds go, printed the same, is still a change.
        registry after(file);
        after.load_image(reg.encoded(given));
        for (const std::string& line : changed_values(before, after)) std::printf("%s\n", line.c_str());
        // The save rewrites the till's cash code file too, whichever
        // register it saves: say so, and when it is not the till's own.
        if (code_now != desk) {
            std::printf("cash code file %s: %s -> %s%s\n", escaped(code_path).c_str(),
                        code_now ? escaped(*code_now).c_str() : "none", desk.c_str(),
                        tills_register(st) ? "" : (" (" + escaped(file) + " is not the till's register)").c_str());
        }
    }
    flush_output(reg.wrote() ? file : "");

    if (writes && !undo) reg.save(given);
}
