#include "lib/getopt.h"

#include <cassert>
#include <cstring>

constinit int my_optind = 1;

namespace {

// Long form: "--name" for every entry with a name, "--name=value" only for
// entries that take a value. No abbreviations.
bool long_matches(const OptionDesc& o, const char* text) {
    if (o.name == nullptr) return false;
    if (strcmp(text, o.name) == 0) return true;
    size_t len = strlen(o.name);
    return o.has_arg == 1 && strncmp(text, o.name, len) == 0 && text[len] == '=';
}

/// The short form "-x": an entry whose letter is a control character
/// (1..31) has a long form only; the closing entry (0) matches the lone "-".
bool short_matches(const OptionDesc& o, char letter) {
    if (o.short_opt > 0 && o.short_opt < ' ') return false;
    return o.short_opt == letter;
}

}  // namespace

int my_getopt_long(int argc, char** argv, int* opt_index, int* index, const OptionDesc* options,
                   int noptions, const char** optarg) {
    assert(noptions > 0);
    *optarg = nullptr;
    *index = my_optind;
    if (my_optind >= argc) return GETOPT_END;

    char* s = argv[my_optind];
    if (s[0] != '-') {
        my_optind++;
        return GETOPT_NONOPT;
    }

    const bool is_long = s[1] == '-';
    int i = 0;
    for (; i < noptions; i++) {
        if (is_long ? long_matches(options[i], s + 2) : short_matches(options[i], s[1])) break;
    }
    if (i == noptions) return GETOPT_ERROR;
    *opt_index = i;
    const OptionDesc& o = options[i];

    if (o.has_arg == 0) {
        if (is_long || s[1] == '\0' || s[2] == '\0') {
            my_optind++;
            return GETOPT_OPTION;
        }
        // A group of flags (-Vh): drop the matched letter, the next call
        // handles the rest of the group.
        memmove(s + 1, s + 2, strlen(s + 2) + 1);
        assert(argv[*index][0] == '-');
        return GETOPT_OPTION;
    }

    const char* value;
    int advance = 1;
    if (is_long) {
        const char* after = s + 2 + strlen(o.name);
        if (*after == '=') {
            value = after + 1;
            if (*value == '\0') return GETOPT_ERROR;
        } else {
            if (my_optind + 1 >= argc || argv[my_optind + 1][0] == '-') return GETOPT_ERROR;
            value = argv[my_optind + 1];
            advance = 2;
        }
    } else if (s[2] == '=') {
        value = s + 3;
        if (*value == '\0') return GETOPT_ERROR;
    } else if (s[2] != '\0') {
        value = s + 2;
    } else {
        // -x value: the value may begin with '-' (-z -5).
        if (my_optind + 1 >= argc) return GETOPT_ERROR;
        value = argv[my_optind + 1];
        advance = 2;
    }
    *optarg = value;
    my_optind += advance;
    return GETOPT_OPTION;
}
