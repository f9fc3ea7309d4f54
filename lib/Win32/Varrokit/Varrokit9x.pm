package Win32::Varrokit::Varrokit9x;

use strict;
use warnings;

require Exporter;
require XSLoader;

our $VERSION   = '0.01';
our @ISA       = ('Exporter');
our @EXPORT_OK = ('MatchWin9xPid');

XSLoader::load('Win32::Varrokit::Varrokit9x', $VERSION);

1;
