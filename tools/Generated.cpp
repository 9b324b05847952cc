// The man page dvl(1), the bash completion and the command list of docs/cli.md, written from the
// command table and the options each command defines, so that none of them can fall behind.
#include "Cli.h"

namespace dvl {

namespace {

// The options of an app in the order defined, without --help.
std::vector<const CLI::Option*> optionsOf(const CLI::App& app) {
  std::vector<const CLI::Option*> list;
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_name() == "--help" || option->get_group().empty()) continue;
    list.push_back(option);
  }
  return list;
}

bool takesValue(const CLI::Option* option) {
  return option->get_expected_max() > 0;
}

std::string roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
  return out;
}

void manOptions(const CLI::App& app, std::FILE* out) {
  for (const CLI::Option* option : optionsOf(app)) {
    std::string name =
        option->get_positional() && option->get_lnames().empty() ? option->get_name(true) : option->get_name();
    bool positional = option->get_lnames().empty();
    std::fprintf(out, ".TP\n");
    if (positional) {
      std::fprintf(out, ".I %s\n", roff(name).c_str());
    } else if (takesValue(option)) {
      std::fprintf(out, ".BI %s \" %s\"\n", roff(name).c_str(), "VALUE");
    } else {
      std::fprintf(out, ".B %s\n", roff(name).c_str());
    }
    std::fprintf(out, "%s\n", roff(option->get_description()).c_str());
  }
}

std::string words(const std::vector<const CLI::Option*>& options) {
  std::string list;
  for (const CLI::Option* option : options) {
    for (const std::string& name : option->get_lnames()) list += (list.empty() ? "--" : " --") + name;
  }
  return list;
}

std::string valueWords(const std::vector<const CLI::Option*>& options) {
  std::string list;
  for (const CLI::Option* option : options) {
    if (!takesValue(option)) continue;
    for (const std::string& name : option->get_lnames()) list += (list.empty() ? "--" : "|--") + name;
  }
  return list;
}

}  // namespace

void writeManPage(CLI::App& app, std::FILE* out) {
  std::fprintf(out,
               ".TH DVL 1 \"\" \"DVL\" \"User Commands\"\n"
               ".SH NAME\ndvl \\- a command\\-line client of the content store\n"
               ".SH SYNOPSIS\n.B dvl\n[\\fIglobal options\\fR] \\fIcommand\\fR [\\fIoptions\\fR] [\\fIarguments\\fR]\n"
               ".SH DESCRIPTION\n"
               "\\fBdvl\\fR talks to a content\\-store service (\\fBdvl\\-contentd\\fR) through the DVL library. "
               "\\fBdvl logon\\fR keeps the passport in a session file (mode 0600) for the commands that follow. "
               "Errors are one line on standard error; with \\fB\\-\\-json\\fR every command prints one JSON document "
               "on standard output, a failure as {\"error\": {\"kind\", \"code\", \"message\"}}.\n"
               ".SH GLOBAL OPTIONS\n");
  manOptions(app, out);
  std::fprintf(out, ".SH COMMANDS\n");
  for (const Command& command : commandTable()) {
    std::fprintf(out, ".SS %s\n%s.\n.PP\nExample:\n.RS\n.nf\n%s\n.fi\n.RE\n", roff(command.name).c_str(),
                 roff(command.summary).c_str(), roff(command.example).c_str());
    manOptions(*app.get_subcommand(command.name), out);
  }
  std::fprintf(out,
               ".SH EXIT STATUS\n"
               ".TP\n.B 0\nsuccess\n.TP\n.B 1\nthe service refused (a SOAP fault), or found nothing to act on\n"
               ".TP\n.B 2\nusage: an unknown command or option, a missing or malformed argument\n"
               ".TP\n.B 3\ntransport or TLS: the server cannot be reached or its reply cannot be read\n"
               ".TP\n.B 4\nlocal file: a file that cannot be read or written\n"
               ".TP\n.B 5\nreplay mismatch: the requests differ from the recorded session\n"
               ".SH ENVIRONMENT\n"
               ".TP\n.B DVL_ENDPOINT\nthe service URL\n"
               ".TP\n.B DVL_SESSION_FILE\nthe session file\n"
               ".TP\n.B DVL_PASSWORD\nthe password for \\fBdvl logon\\fR\n"
               ".TP\n.B DVL_CONFIG\nthe library's configuration file\n"
               ".SH FILES\n.TP\n.I ~/.dvl\\-session\nthe passport of the last logon\n"
               ".SH SEE ALSO\n.BR dvl\\-contentd (8)\n");
}

void writeCompletion(CLI::App& app, std::FILE* out) {
  std::vector<const CLI::Option*> global = optionsOf(app);
  std::string commands;
  for (const Command& command : commandTable()) commands += std::string(commands.empty() ? "" : " ") + command.name;
  std::fprintf(out,
               "# bash completion for dvl, generated from its command table\n"
               "_dvl() {\n"
               "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\" command= i\n"
               "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
               "    case \"${COMP_WORDS[i]}\" in\n"
               "      %s) ((i++)) ;;\n"
               "      -*) ;;\n"
               "      *) command=\"${COMP_WORDS[i]}\"; break ;;\n"
               "    esac\n"
               "  done\n"
               "  local options=\"%s\"\n"
               "  case \"$command\" in\n",
               valueWords(global).c_str(), words(global).c_str());
  for (const Command& command : commandTable()) {
    std::vector<const CLI::Option*> own = optionsOf(*app.get_subcommand(command.name));
    std::fprintf(out, "    %s) options=\"$options %s\" ;;\n", command.name, words(own).c_str());
  }
  std::fprintf(out,
               "  esac\n"
               "  if [[ \"$cur\" == -* ]]; then\n"
               "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
               "  elif [[ -z \"$command\" ]]; then\n"
               "    case \"$prev\" in\n"
               "      %s) ;;\n"
               "      *) COMPREPLY=($(compgen -W \"%s\" -- \"$cur\")) ;;\n"
               "    esac\n"
               "  fi\n"
               "}\n"
               "complete -o default -F _dvl dvl\n",
               valueWords(global).c_str(), commands.c_str());
}

void writeCommandList(std::FILE* out) {
  std::fprintf(out, "| command | what it does | example |\n|---|---|---|\n");
  for (const Command& command : commandTable()) {
    std::string example = command.example;
    for (size_t at = 0; (at = example.find('|', at)) != std::string::npos; at += 2) example.replace(at, 1, "\\|");
    std::fprintf(out, "| [`%s`](#%s) | %s | `%s` |\n", command.name, command.name, command.summary, example.c_str());
  }
}

}  // namespace dvl
