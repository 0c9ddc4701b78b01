#ifndef SPLIT_COMMAND_LINE_H
#define SPLIT_COMMAND_LINE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Room for a command line of 511 characters and its end-of-string mark. */
#define DETACH_LINE_SIZE 512
/* Token addresses: up to 63 tokens and the terminating null entry. */
#define DETACH_TOKEN_SLOTS 64

/*
 * Copies line into buffer and cuts it into tokens in place. A token is a run of
 * characters up to a space or tab, or text between double or single quotes, in
 * which the quote doubled stands for itself. tokens receives the token addresses
 * followed by a null entry. Tokens past the 63rd are left unsplit and unlisted.
 * Returns the number of tokens, or -1 (and no tokens) when the line does not fit
 * the buffer.
 */
int SplitCommandLine(const char *line, char *buffer, char **tokens);

#ifdef __cplusplus
}
#endif

#endif
