# Prints KEY=VALUE for each key given, from the Config files of a perl that
# cannot be run here, as `perl -MConfig` would print them:
#
#   perl perl_config_files.pl PERL_EXE KEY...
#
# Perl keeps its config.sh as a here-document in lib/Config_heavy.pl (5.8
# on) or lib/Config.pm (5.6); lib/ sits beside perl.exe or beside its bin/.
use strict;
use warnings;
use File::Basename qw(dirname);

my ($perl, @keys) = @ARGV;
die "usage: $0 PERL_EXE KEY...\n" unless defined $perl && @keys;

my $bin = dirname($perl);
my ($config_sh) = grep { defined } map { config_sh($_) } $bin, "$bin/..";
die "no config.sh in the Config files of $perl\n" unless defined $config_sh;

my %config;
while ($config_sh =~ /^(\w+)='(.*?)'$/msg) {
    (my $value = $2) =~ s/'\\''/'/g;
    $config{$1} = $value;
}
for my $key (@keys) {
    die "$perl has no $key in its config.sh\n" unless exists $config{$key};
    print "$key=$config{$key}\n";
}

sub config_sh {
    my ($root) = @_;
    for my $file (map {"$root/lib/$_"} qw(Config_heavy.pl Config.pm)) {
        open my $fh, '<', $file or next;
        my $text = do { local $/; <$fh> };
        $text =~ s/\r\n/\n/g;    # written on Windows
        # The here-document that holds the settings, not the summary before it.
        while ($text =~ /<<'!END!';\n(.*?)^!END!$/msg) {
            my $body = $1;
            return $body if $body =~ /^archname='/m;
        }
    }
    return undef;
}
