#!/usr/bin/perl
# make-tree.pl DIR COUNT: a tree of COUNT files of mixed sizes in nested folders, the same on every
# run: 10 x 10 folders, each with its files and 10 folders of files below it. Most files are
# small (up to 8 KiB), some middling (up to 128 KiB), one in two hundred up to 2 MiB.
use strict;
use warnings;
use File::Path qw(make_path);

my ($root, $count) = @ARGV;
die "usage: make-tree.pl DIR COUNT\n" unless defined $count && $count > 0;
srand(20000);
my $pool = join '', map { chr(int(rand(256))) } 1 .. 65536;
$pool x= 40;    # 2.5 MiB to cut the files' contents from

my @folders;
for my $a (1 .. 10) {
    for my $b (1 .. 10) {
        push @folders, "$root/dir$a/sub$b";
        push @folders, map { "$root/dir$a/sub$b/leaf$_" } 1 .. 10;
    }
}
make_path(@folders);
for my $n (0 .. $count - 1) {
    my $pick = rand();
    my $size = $pick < 0.005 ? 131072 + int(rand(2 * 1048576 - 131072))
             : $pick < 0.2   ? 8192 + int(rand(131072 - 8192))
             :                 1 + int(rand(8192));
    my $file = sprintf '%s/file%05d.%s', $folders[$n % @folders], $n, ('dat', 'txt', 'log', 'bin')[$n % 4];
    open my $out, '>:raw', $file or die "$file: $!\n";
    print {$out} substr($pool, int(rand(length($pool) - $size)), $size);
    close $out or die "$file: $!\n";
}
