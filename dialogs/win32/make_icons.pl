#!/usr/bin/perl
# Writes the Production tree's two icons, folder_closed.ico (105) and
# folder_open.ico (106), into the folder given as the only argument: 16 x 16
# pixels, 32 bits per pixel with an alpha channel and the AND mask, drawn
# from the pixel maps below (the same folders the other windowed form shows).
use strict;
use warnings;

my $out = shift or die "usage: make_icons.pl <folder>\n";

# Colours as B, G, R, A.
my %palette = (
  ' ' => [0, 0, 0, 0],
  '.' => [0x00, 0x52, 0x6B, 0xFF],
  '@' => [0x8A, 0xE0, 0xFF, 0xFF],
  '+' => [0x30, 0xC2, 0xF2, 0xFF],
  '#' => [0x16, 0x9A, 0xC9, 0xFF],
);

my @closed = (
  '                ', '                ', '  .....         ', ' .@@@@@.        ',
  ' .@@@@@@......  ', ' .@@@@@@@@@@@@. ', ' .++++++++++++. ', ' .++++++++++++. ',
  ' .++++++++++++. ', ' .++++++++++++. ', ' .++++++++++++. ', ' .++++++++++++. ',
  ' .++++++++++++. ', ' .############. ', '  ............  ', '                ',
);
my @open = (
  '                ', '                ', '  .....         ', ' .#####.        ',
  ' .######......  ', ' .###########.  ', ' .##............', ' .#.@@@@@@@@@@@.',
  ' .#.@@@@@@@@@@. ', ' ..@@@@@@@@@@@. ', ' ..@@@@@@@@@@.  ', ' .@@@@@@@@@@@.  ',
  ' .@@@@@@@@@@.   ', ' ............   ', '                ', '                ',
);

sub icon {
  my @rows = @_;
  my ($pixels, $mask) = ('', '');
  for my $row (reverse @rows) {    # bitmaps are stored bottom-up
    die "a row is not 16 pixels\n" unless length($row) == 16;
    my $bits = 0;
    for my $x (0 .. 15) {
      my $colour = $palette{substr($row, $x, 1)} or die "unknown colour\n";
      $pixels .= pack('C4', @$colour);
      $bits |= (1 << (15 - $x)) if $colour->[3] == 0;    # transparent
    }
    $mask .= pack('n', $bits) . "\0\0";    # rows padded to 32 bits
  }
  my $header = pack('VllvvVVllVV', 40, 16, 32, 1, 32, 0, length($pixels) + length($mask), 0, 0, 0, 0);
  my $image = $header . $pixels . $mask;
  my $directory = pack('vvv', 0, 1, 1) . pack('CCCCvvVV', 16, 16, 0, 0, 1, 32, length($image), 22);
  return $directory . $image;
}

for my $icon (['folder_closed.ico', \@closed], ['folder_open.ico', \@open]) {
  my $path = "$out/$icon->[0]";
  open(my $fh, '>:raw', "$path.tmp") or die "$path: $!\n";
  print $fh icon(@{$icon->[1]});
  close($fh) or die "$path: $!\n";
  rename("$path.tmp", $path) or die "$path: $!\n";
}
