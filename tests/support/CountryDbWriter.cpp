#include "tests/support/CountryDbWriter.h"

#include <fstream>
#include <stdexcept>

#include "tests/support/ChildProcess.h"

void writeCountryDb(const std::string& file, const std::string& type,
                    const std::vector<std::pair<std::string, std::string>>& networks) {
    const std::string script = file + ".pl";
    std::ofstream(script) << R"(use MaxMind::DB::Writer::Tree;
my ($out, $type, @pairs) = @ARGV;
my $tree = MaxMind::DB::Writer::Tree->new(ip_version => 6, record_size => 24, database_type => $type,
    languages => ['en'], description => {en => 'kiriha'}, remove_reserved_networks => 0, alias_ipv6_to_ipv4 => 1,
    map_key_type_callback => sub { {country => 'map', iso_code => 'utf8_string',
                                    autonomous_system_number => 'uint32'}->{$_[0]} });
while (my ($net, $code) = splice(@pairs, 0, 2)) {
    $tree->insert_network($net, $type =~ /ASN/ ? {autonomous_system_number => $code} : {country => {iso_code => $code}})
}
open my $fh, '>:raw', $out or die; $tree->write_tree($fh);
)";
    Launch perl;
    perl.binary = "/usr/bin/perl";
    perl.args = {script, file, type};
    for (const auto& [network, value] : networks) perl.args.insert(perl.args.end(), {network, value});
    if (runProgram(perl).status != 0) throw std::runtime_error("no database could be written: " + file);
}
