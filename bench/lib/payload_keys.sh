# Sourced by the payload benchmarks: the payload keys and IVs compiled into $release, as hex for
# the openssl command.
key_hex() { grep -oE "$1 = \{[^}]*\}" "$release/generated/build_config.hpp" | grep -oE '0x[0-9a-fA-F]{2}' | sed 's/0x//' | tr -d '\n'; }
outer_key=$(key_hex PAYLOAD_OUTER_KEY)
outer_iv=$(key_hex PAYLOAD_OUTER_IV)
inner_key=$(key_hex PAYLOAD_INNER_KEY)
inner_iv=$(key_hex PAYLOAD_INNER_IV)
