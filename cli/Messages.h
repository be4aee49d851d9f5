#pragma once

#include <libintl.h>

#include <cstddef>
#include <string>
#include <string_view>

// What the commands say to a person comes from the catalogue of the user's language (GNU gettext, domain "kiriha"),
// in English where there is none. What programs read (result lines, JSON, the log, status, metrics, Proxy-Status,
// exit statuses) never passes through it.
#define _(msgid) ::dgettext("kiriha", msgid)
// Marked for the catalogue where it is kept (a table's row); translated with _() where it is used.
#define N_(msgid) msgid

// The user's locale for messages and characters only (numbers and times stay as C writes them), and the catalogues
// from TEXTDOMAINDIR where it is set, else from share/locale beside the program's bin/. Before anything is said.
void setUpMessages();

// printf into a string: a message's arguments, placed where its translation wants them (%1$s, %2$d).
std::string format(const char* text, ...) __attribute__((format(printf, 1, 2)));

// A message with a count, in the form the language takes for that count.
inline const char* plural(const char* one, const char* many, unsigned long n) {
    return ::dngettext("kiriha", one, many, n);
}

// The columns UTF-8 `text` takes on a terminal: East Asian wide and fullwidth characters two, others one.
std::size_t displayWidth(std::string_view text);

// Each line of `text` wider than `width` columns broken where a reader would: at a space, or between two wide
// characters (never before a closing mark, never after an opening one). Lines within the width stay as they are.
std::string wrapped(std::string_view text, std::size_t width);
inline constexpr std::size_t kHelpWidth = 80;  // --help's lines, in columns

// The longest start of `text` within `columns`, cut between two characters.
std::string fitted(std::string_view text, std::size_t columns);
