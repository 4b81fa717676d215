// COM-PORT-OPTION subnegotiations (RFC 2217) of the `rfc2217` side. Server mode carries out a
// client's requests on the tty through the serial side's pending settings and the modem-line
// module and answers them by the request policies; client mode checks the access server's
// answers against the settings it asked for and clears the acknowledgement flags.
//
// Three choices RFC 2217 leaves to the server: a SET-BAUDRATE, -DATASIZE, -PARITY or
// -STOPSIZE request with the value 0 is a query, answered with the value in force and storing
// nothing; an honest answer reports what the line really got (the serial side's active terminal
// record), so a character size of 9 is answered with the size in force, mark or space parity
// with none (1) and one and a half stop bits with one (1); server mode uses policy 15 for all.
#pragma once

struct client_record;

// Server mode on_suboption: consumes the body in sb_reader and answers it.
void process_suboption(client_record *c);

// Client mode on_suboption: consumes the body and checks answers 101 to 105.
void process_suboption_ack(client_record *c);
