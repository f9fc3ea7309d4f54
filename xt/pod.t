# A release test: make disttest and CI set RELEASE_TESTING.
use strict;
use warnings;

use Test::More;

plan skip_all => 'a release test (set RELEASE_TESTING)' unless $ENV{RELEASE_TESTING};
plan skip_all => 'needs Test::Pod 1.22' unless eval { require Test::Pod; Test::Pod->VERSION(1.22) };
Test::Pod::all_pod_files_ok();
