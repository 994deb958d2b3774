# Doxygen input filter for the public headers (make docs). The headers use
# plain C comments; this turns the ones that document something into Doxygen
# comments and files them under the reference's groups, leaving the headers'
# text as it is.
#
# vyre_os_msg.h (mode "c"):
#   - the file's opening comment becomes the file's description;
#   - a section rule ("/* ----" with a title line) opens the section's group
#     (sect[] below) and its text becomes the group's description;
#   - a comment that starts in the first column documents the declaration
#     after it; before a function it gains a \return paragraph where its
#     results start (a sentence that starts with "OS_MSG_OK", "Returns" or
#     "Results of"), the \param lines of docs/api/params.txt, and the
#     function's group from there (a function without one is reported on
#     standard error and fails the build of the reference);
#   - a comment after a struct member documents that member.
# The C++ headers (mode "cpp"): every comment that opens a line documents the
# declaration after it, and everything is in the group "cpp".
# In both, "<" in comments is escaped (the comments name <placeholders>).
#
# Usage: awk -v params=docs/api/params.txt -f header_filter.awk FILE
BEGIN {
    while ((getline line < params) > 0) {
        if (line ~ /^#/ || line ~ /^[ \t]*$/) {
            continue
        }
        n = split(line, f, /[ \t]+/)
        if (n == 2) {
            group[f[1]] = f[2]
            continue
        }
        text = line
        sub(/^[^ \t]+[ \t]+[^ \t]+[ \t]+[^ \t]+[ \t]+/, "", text)
        plist[f[1]] = plist[f[1]] " * \\param[" f[3] "] " f[2] " " text "\n"
    }
    sect["Version"] = "process"
    sect["Result codes"] = "results"
    sect["Sizes, reserved ids and names"] = "constants"
    sect["Records"] = "messages"
    sect["Process"] = "process"
    sect["Joining with options"] = "process"
    sect["Peers that come and go"] = "process"
    sect["Access between processes"] = "access"
    sect["Callbacks"] = "tasks"
    sect["Tasks"] = "tasks"
    sect["Messages"] = "messages"
    sect["Events"] = "events"
    sect["Diagnostics"] = "diagnostics"
    sect["Task statistics"] = "diagnostics"
    sect["Shared buffers and descriptors"] = "buffers"
    sect["Message memory pool"] = "mempool"
    sect["Multi-CPU channel"] = "channel"
    # Declarations filed elsewhere than their section.
    declgroup["MsgSubEntry"] = "events"
    declgroup["MsgBroEntry"] = "events"
    declgroup["OsMsgLogFunc"] = "diagnostics"
    ncomment = 0
    groupopen = 0
    failed = 0
}

function escape(s) {
    gsub(/</, "\\<", s)
    gsub(/\\r"/, "\\\\r\"", s)
    return s
}

# The name a declaration line declares: a function, a typedef'd function
# pointer, a struct or a macro.
function declared(s, m) {
    if (s ~ /^OS_MSG_API/ && match(s, /[A-Za-z_][A-Za-z0-9_]*\(/)) {
        return substr(s, RSTART, RLENGTH - 1)
    }
    if (match(s, /\(\*[A-Za-z_][A-Za-z0-9_]*\)/)) {
        return substr(s, RSTART + 2, RLENGTH - 3)
    }
    if (match(s, /^typedef struct [A-Za-z_][A-Za-z0-9_]*/)) {
        return substr(s, 16, RLENGTH - 15)
    }
    return ""
}

# Prints the buffered comment as a Doxygen comment for the declaration decl.
function flush_comment(decl, i, s, done, isfn, last, tail, from) {
    isfn = decl != "" && decl in plist || decl in group
    done = !isfn
    from = 0
    for (i = 1; i <= ncomment; ++i) {
        s = cline[i]
        if (!done && match(s, /(^ \* |^\/\*\* |\. )(Returns )?OS_MSG_OK/)) {
            s = insert_return(s)
            done = 1
            from = i
        }
        cline[i] = s
    }
    for (i = 2; i <= ncomment && !done; ++i) {
        if (match(cline[i], /(^ \* |\. )(Returns |Results of )/)) {
            cline[i] = insert_return(cline[i])
            done = 1
            from = i
        }
    }
    # The results, one code a line: a line break (Doxygen's \n) before each
    # code that follows a semicolon.
    for (i = from; from > 0 && i <= ncomment; ++i) {
        gsub(/; OS_MSG_/, ";\\n OS_MSG_", cline[i])
        if (i > from && cline[i - 1] ~ /;$/ && cline[i] ~ /^ \* OS_MSG_/) {
            sub(/^ \* /, " * \\n ", cline[i])
        }
    }
    last = cline[ncomment]
    if (decl != "" && (decl in plist || decl in group || decl in declgroup)) {
        tail = last
        sub(/[ \t]*\*\/[ \t]*$/, "", tail)
        if (tail != "" && tail != " *") {
            cline[ncomment] = tail
        } else {
            --ncomment
        }
        for (i = 1; i <= ncomment; ++i) {
            print cline[i]
        }
        printf "%s", plist[decl]
        if (decl in group) {
            print " * \\ingroup grp_" group[decl]
        } else if (decl in declgroup) {
            print " * \\ingroup grp_" declgroup[decl]
        }
        print " */"
    } else {
        for (i = 1; i <= ncomment; ++i) {
            print cline[i]
        }
    }
    ncomment = 0
}

# Starts a \return paragraph where the match found by the caller begins.
function insert_return(s, head, rest) {
    head = substr(s, 1, RSTART - 1)
    rest = substr(s, RSTART)
    if (rest ~ /^\. /) {
        return head ".\n * \\return " substr(rest, 3)
    }
    if (rest ~ /^\/\*\* /) {
        return "/** \\return " substr(rest, 5)
    }
    return head " * \\return " substr(rest, 4)
}

FNR == 1 {
    mode = FILENAME ~ /\.hpp$/ ? "cpp" : "c"
}

# ---- the C++ headers
mode == "cpp" {
    line = $0
    if (FNR == 1 && line ~ /^\/\*$/) {
        print "/** \\file"
        print " * \\ingroup grp_cpp"
        infile = 1
        next
    }
    if (infile) {
        print escape(line)
        if (line ~ /\*\//) {
            infile = 0
            print "/** \\addtogroup grp_cpp"
            print " * @{ */"
        }
        next
    }
    if (line ~ /^#endif/ && line ~ /_HPP/) {
        print "/** @} */"
        print line
        next
    }
    if (line ~ /^[ \t]*\/\* -/) {
        print line
        skiprule = 1
        next
    }
    if (skiprule) {
        print line
        if (line ~ /\*\//) {
            skiprule = 0
        }
        next
    }
    # A class of the interface is listed in the group as well (its own
    # comment, when it has one, documents it as before).
    if (line ~ /^(template <[^>]*> )?(class|struct) [a-z_]+( final)? *[:{]/ && line !~ /;$/) {
        print "/** \\ingroup grp_cpp */"
    }
    if (line ~ /^[ \t]*\/\*( |$)/) {
        sub(/\/\*/, "/**", line)
        incpp = line !~ /\*\//
        print escape(line)
        next
    }
    if (incpp) {
        print escape(line)
        if (line ~ /\*\//) {
            incpp = 0
        }
        next
    }
    print line
    next
}

# ---- vyre_os_msg.h
FNR == 1 && /^\/\*$/ {
    print "/** \\file"
    infile = 1
    next
}
infile {
    print escape($0)
    if ($0 ~ /\*\//) {
        infile = 0
    }
    next
}
# A section rule: its title names the group, its text describes it.
/^\/\* -/ {
    insection = 1
    title = ""
    sectext = ""
    next
}
insection {
    s = $0
    if (title == "") {
        title = s
        sub(/^ \* /, "", title)
        next
    }
    if (s ~ /^ \* -+ \*\/$/ || s ~ /\*\//) {
        insection = 0
        if (groupopen) {
            print "/** @} */"
        }
        if (!(title in sect)) {
            print "header_filter: section \"" title "\" has no group" > "/dev/stderr"
            failed = 1
        }
        print "/** \\addtogroup grp_" sect[title]
        if (sectext != "") {
            # The section's text under its title, after what the group's
            # definition says of the group (docs/api/groups.dox).
            print " * \\details"
            print " * \\par " title
            printf "%s", sectext
        }
        print " * @{ */"
        groupopen = 1
        next
    }
    sectext = sectext escape(s) "\n"
    next
}
# A comment in the first column documents what follows it.
ncomment == 0 && /^\/\*/ {
    s = $0
    sub(/^\/\*/, "/**", s)
    cline[++ncomment] = escape(s)
    closed = s ~ /\*\//
    next
}
ncomment > 0 && !closed {
    cline[++ncomment] = escape($0)
    closed = $0 ~ /\*\//
    next
}
ncomment > 0 {
    name = declared($0)
    if ($0 ~ /^OS_MSG_API/ && !(name in group)) {
        print "header_filter: " name " has no group in " params > "/dev/stderr"
        failed = 1
    }
    flush_comment(name)
    checked = 1
}
{
    s = $0
    sub(/;( *)\/\* /, ";&", s)
    if (s != $0) {
        s = $0
        match(s, /; *\/\* /)
        s = substr(s, 1, RSTART + RLENGTH - 4) "/**< " substr(s, RSTART + RLENGTH)
    }
    if ($0 ~ /^OS_MSG_API/ && !checked) {
        name = declared($0)
        if (!(name in group)) {
            print "header_filter: " name " has no group in " params > "/dev/stderr"
            failed = 1
        }
    }
    print s
    checked = 0
}
END {
    if (groupopen) {
        print "/** @} */"
    }
    if (failed) {
        exit 1
    }
}
