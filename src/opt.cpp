// The option parser: checks every word of a section against an option table, collects the
// options as (code, argument) pairs and moves the positional words to the front of the vector.
// Only the first *argc_in_out entries are ever read: a protocol section is a window into the
// process's argument vector and the word after it belongs to someone else.
#include "opt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// The state of one parse, so that the error path can release the list from anywhere.
struct opt_parser {
    int count;        // entries of argv that may be read
    char **argv;
    const opt_spec *table;
    opt_result *list;
    int nresults;
};

[[noreturn]] static void fail(opt_parser *p)
{
    free(p->list);
    exit(1);
}

static bool is_positional(const char *word)
{
    return word[0] != '-' || word[1] == '\0';
}

static bool is_end_marker(const char *word)
{
    return strcmp(word, "--") == 0;
}

static const opt_spec *find_short(const opt_spec *table, char c)
{
    for (const opt_spec *o = table; o->code != 0; o++) {
        if (strchr(o->short_chars, c) != nullptr) {
            return o;
        }
    }
    return nullptr;
}

// An upper bound of the results: every long option is one, a short cluster is one per
// character unless its first option takes the rest of the word as argument.
static int count_results(int count, char **argv, const opt_spec *table)
{
    int n = 0;
    for (int i = 1; i < count && argv[i] != nullptr; i++) {
        const char *w = argv[i];
        if (is_positional(w)) {
            continue;
        }
        if (is_end_marker(w)) {
            break;
        }
        if (w[1] == '-') {
            n++;
            continue;
        }
        const opt_spec *o = find_short(table, w[1]);
        if (o != nullptr) {
            n += (o->flags & OPT_HAS_ARG) ? 1 : static_cast<int>(strlen(w + 1));
        }
    }
    return n;
}

static bool already_given(const opt_parser *p, int code)
{
    for (int k = 0; k < p->nresults; k++) {
        if (p->list[k].code == code) {
            return true;
        }
    }
    return false;
}

static void append(opt_parser *p, int code, char *argument)
{
    p->list[p->nresults].code = code;
    p->list[p->nresults].argument = argument;
    p->nresults++;
}

// The word after index *i as an option argument, consuming it; null when there is none or it
// looks like an option ("-" alone is a valid argument).
static char *take_next_word(opt_parser *p, int *i)
{
    int next = *i + 1;
    if (next >= p->count || p->argv[next] == nullptr) {
        return nullptr;
    }
    char *w = p->argv[next];
    if (w[0] == '-' && w[1] != '\0') {
        return nullptr;
    }
    *i = next;
    return w;
}

static const opt_spec *find_long_exact(const opt_spec *table, const char *name, int len)
{
    for (const opt_spec *o = table; o->code != 0; o++) {
        for (const char *const *ln = o->long_names; *ln != nullptr; ln++) {
            if (strncmp(*ln, name, len) == 0 && (*ln)[len] == '\0') {
                return o;
            }
        }
    }
    return nullptr;
}

// An exact long name wins wherever it stands in the table; otherwise the name must begin
// exactly one long name (two names of the same option count as two).
static const opt_spec *find_long(opt_parser *p, const char *name, int len)
{
    const opt_spec *exact = find_long_exact(p->table, name, len);
    if (exact != nullptr) {
        return exact;
    }
    const opt_spec *abbrev = nullptr;
    for (const opt_spec *o = p->table; o->code != 0; o++) {
        for (const char *const *ln = o->long_names; *ln != nullptr; ln++) {
            if (strncmp(*ln, name, len) != 0) {
                continue;
            }
            if (abbrev != nullptr) {
                fprintf(stderr, "%s: --%.*s: abbreviated option is ambiguous\n", p->argv[0], len,
                        name);
                fail(p);
            }
            abbrev = o;
        }
    }
    if (abbrev == nullptr) {
        fprintf(stderr, "%s: --%.*s: unknown option\n", p->argv[0], len, name);
        fail(p);
    }
    return abbrev;
}

// "--name", "--name=value" or "--name value"; *i may advance past a consumed argument.
static void parse_long(opt_parser *p, int *i)
{
    char *name = p->argv[*i] + 2;
    char *eq = strchr(name, '=');
    int len = eq != nullptr ? static_cast<int>(eq - name) : static_cast<int>(strlen(name));
    const opt_spec *o = find_long(p, name, len);
    if (!(o->flags & OPT_REPEATABLE) && already_given(p, o->code)) {
        fprintf(stderr, "%s: --%.*s: option may not be repeated (in any long or short form)\n",
                p->argv[0], len, name);
        fail(p);
    }
    char *argument = nullptr;
    if (o->flags & OPT_HAS_ARG) {
        argument = eq != nullptr ? eq + 1 : take_next_word(p, i);
        if (argument == nullptr) {
            fprintf(stderr, "%s: --%s: option requires an option argument\n", p->argv[0], name);
            fail(p);
        }
    } else if (eq != nullptr) {
        fprintf(stderr, "%s: --%.*s: option may not take an option argument\n", p->argv[0], len,
                name);
        fail(p);
    }
    append(p, o->code, argument);
}

// "-abc": one option per character until one that takes an argument, which gets the rest of
// the word ("-B115200") or else the next word.
static void parse_short(opt_parser *p, int *i)
{
    char *word = p->argv[*i];
    for (char *c = word + 1; *c != '\0'; c++) {
        const opt_spec *o = find_short(p->table, *c);
        if (o == nullptr) {
            fprintf(stderr, "%s: -%c: unknown option\n", p->argv[0], *c);
            fail(p);
        }
        if (!(o->flags & OPT_REPEATABLE) && already_given(p, o->code)) {
            fprintf(stderr, "%s: -%c: option may not be repeated (in any long or short form)\n",
                    p->argv[0], *c);
            fail(p);
        }
        if (!(o->flags & OPT_HAS_ARG)) {
            append(p, o->code, nullptr);
            continue;
        }
        char *argument = c[1] != '\0' ? c + 1 : take_next_word(p, i);
        if (argument == nullptr) {
            fprintf(stderr, "%s: -%c: option requires an option argument\n", p->argv[0], *c);
            fail(p);
        }
        append(p, o->code, argument);
        return;
    }
}

opt_result *opt_parse(int *argc_in_out, char **argv, const opt_spec *table)
{
    opt_parser p = {*argc_in_out, argv, table, nullptr, 0};
    int capacity = count_results(p.count, argv, table) + 1;
    p.list = static_cast<opt_result *>(malloc(capacity * sizeof(opt_result)));
    if (p.list == nullptr) {
        perror(argv[0]);
        exit(1);
    }
    // Positional words only ever move towards the front, onto words already handled.
    int npos = 1;
    for (int i = 1; i < p.count && argv[i] != nullptr; i++) {
        char *w = argv[i];
        if (is_positional(w)) {
            argv[npos++] = w;
        } else if (is_end_marker(w)) {
            while (++i < p.count && argv[i] != nullptr) {
                argv[npos++] = argv[i];
            }
            break;
        } else if (w[1] == '-') {
            parse_long(&p, &i);
        } else {
            parse_short(&p, &i);
        }
    }
    argv[npos] = nullptr;
    p.list[p.nresults].code = 0;
    *argc_in_out = npos;
    return p.list;
}

opt_result *opt_parse_section(int *argc_in_out, char **argv, const opt_spec *table,
                              const char *usage, int positional)
{
    opt_result *list = opt_parse(argc_in_out, argv, table);
    bool help = opt_count(list, 'h') > 0;
    if (help || *argc_in_out != positional + 1) {
        free(list);
        puts(usage);
        exit(help ? 0 : 1);
    }
    return list;
}

int opt_count(const opt_result *list, int code)
{
    int n = 0;
    for (const opt_result *r = list; r->code != 0; r++) {
        n += r->code == code;
    }
    return n;
}

char *opt_get(const opt_result *list, int code, int n)
{
    for (const opt_result *r = list; r->code != 0; r++) {
        if (r->code == code && n-- == 0) {
            return r->argument;
        }
    }
    return nullptr;
}
