// A small long-option parser: -x value, -xvalue, -x=value, --name=value,
// --name value, grouped short flags (-Vh) and the lone "-".
#pragma once

/// One entry of an option table; the table ends with {nullptr, 0, 0}, which
/// matches the lone argument "-".
struct OptionDesc {
    const char* name;  ///< long name without the two dashes; null for the closing entry
    int has_arg;       ///< 1 if the option takes a value, else 0
    char short_opt;    ///< one-letter form; 0 for the closing entry; a control character
                       ///< (1..31) for an option with a long form only
};

/// Index in argv of the next argument to examine; set it to 1 before the first call.
extern int my_optind;

/// Results of my_getopt_long.
enum : int {
    GETOPT_ERROR = 0,   ///< no entry matches, or a value is missing or empty
    GETOPT_END = 1,     ///< all arguments have been examined
    GETOPT_NONOPT = 2,  ///< a non-option argument, at *arg_index
    GETOPT_OPTION = 3,  ///< an option: *opt_index is its entry, *optarg its value or null
};

/// Examines the argument at my_optind. *arg_index is set to the index of the
/// argument examined (the offending one on error). A grouped short flag is
/// removed from its argument in place (argv is modified).
int my_getopt_long(int argc, char** argv, int* opt_index, int* arg_index, const OptionDesc* options,
                   int noptions, const char** optarg);
