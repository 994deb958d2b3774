# Doxygen input filter for the public header (make docs): the header uses
# plain C comments, and this turns the ones that document a declaration into
# Doxygen comments, leaving the header's text as it is.
#   - the file's opening comment becomes the file's description;
#   - a comment that starts in the first column, other than a section rule
#     ("/* ----"), documents the declaration after it;
#   - a comment after a struct member documents that member.
1s|^/\*$|/** \\file|
/^\/\* -/b
s|^/\*$|/**|
s|^/\* |/** |
s|;\( *\)/\* |;\1/**< |
