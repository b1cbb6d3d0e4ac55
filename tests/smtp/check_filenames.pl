#!/usr/bin/perl
# Reads a message with Perl's MIME::Parser (MIME-tools) and prints, for each part, the file name
# it recommends and the decoded name= of its Content-Type, both as UTF-8, separated by a TAB.
use strict;
use warnings;
use Encode qw(decode encode);
use MIME::Parser;
use MIME::Words qw(decode_mimewords);

my $parser = MIME::Parser->new;
$parser->output_to_core(1);
$parser->tmp_to_core(1);
my $entity = $parser->parse_open($ARGV[0]) or die "cannot parse $ARGV[0]\n";
binmode STDOUT;
for my $part ($entity->parts) {
    my $head = $part->head;
    my $file = $head->recommended_filename // '';
    my $name = $head->mime_attr('content-type.name') // '';
    my $decoded = join '', map { my ($t, $c) = @$_; defined $c ? encode('UTF-8', decode($c, $t)) : $t }
        decode_mimewords($name);
    print encode('UTF-8', $file), "\t", $decoded, "\n";
}
