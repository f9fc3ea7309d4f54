# Sourced by the tools: what they share.
#
# The cache of perls, tools and Wine prefixes, outside the clone, so that a
# fresh clone finds them built. A Wine prefix must stay out of the source
# tree: its drive links (z: is /) would send any walk of the tree through
# the whole file system.
varrokit_cache=${VARROKIT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varrokit9x}
