#include "backup/block_count.h"

#include <gtest/gtest.h>

#include "backup/sql_lexer.h"

// Where the server may end a definition: only at its end, or it is
// refused.
TEST(BlockCount, ADefinitionEndsOnlyAtItsEnd) {
  constexpr unsigned long long kOracle = sql_lexer::kModeOracle;
  constexpr unsigned long long kAnsi = sql_lexer::kModeAnsiQuotes;
  constexpr unsigned long long kMssql = sql_lexer::kModeMssql | sql_lexer::kModeAnsiQuotes;
  const struct {
    const char* sql;
    unsigned long long mode;  // sql_lexer's bits
    bool single;
  } cases[] = {
      {"CREATE TRIGGER t BEFORE INSERT ON a FOR EACH ROW SET NEW.v = 1", 0, true},
      {"CREATE PROCEDURE p() BEGIN DECLARE i INT; l: LOOP SET i = i + 1; IF i > 3 THEN "
       "LEAVE l; END IF; END LOOP l; WHILE i > 0 DO SET i = i - 1; END WHILE; REPEAT SET "
       "i = 1; UNTIL i END REPEAT; CASE i WHEN 1 THEN SELECT CASE WHEN i THEN 1 END; END "
       "CASE; FOR r IN 1..3 DO SELECT r; END FOR; SELECT IF(i, 1, 2), REPEAT('x', 2); "
       "DROP TABLE IF EXISTS x; END",
       0, true},
      {"CREATE PROCEDURE p() IF 1 THEN SELECT 1; END IF", 0, true},
      {"CREATE PROCEDURE p() SELECT ';', `a;b` /* ; */ -- ;\n", 0, true},
      {"CREATE PROCEDURE p AS a INT; BEGIN FOR i IN 1..2 LOOP NULL; END LOOP; END", kOracle, true},
      {"CREATE PROCEDURE p() SELECT 1; DROP DATABASE d", 0, false},
      {"CREATE PROCEDURE p() BEGIN SELECT 1; END; DROP DATABASE d", 0, false},
      {"CREATE PROCEDURE p() IF 1 THEN SELECT 1; END IF; DROP DATABASE d", 0, false},
      {"CREATE PROCEDURE p() SELECT 1 /*!; DROP DATABASE d */", 0, false},
      {"CREATE PROCEDURE p() SELECT ' \\'; DROP DATABASE d; '", 0, true},
      {"CREATE PROCEDURE p() SELECT ' \\'; DROP DATABASE d", 0, false},
      {"CREATE PROCEDURE p AS a INT; BEGIN NULL; END; DROP DATABASE d", kOracle, false},
      {"CREATE PROCEDURE p AS a INT; BEGIN NULL; END", 0, false},
      // A backslash escapes nothing in a name: under ANSI_QUOTES the
      // double quote ends at it.
      {"CREATE PROCEDURE p() SELECT \"x\\\"; DROP DATABASE d; SELECT \"", 0, true},
      {"CREATE PROCEDURE p() SELECT \"x\\\"; DROP DATABASE d; SELECT \"", kAnsi, false},
      // MSSQL quotes names in brackets, in which a quote is a byte.
      {"CREATE PROCEDURE p() SELECT [a']; DROP DATABASE d; SELECT [']", 0, true},
      {"CREATE PROCEDURE p() SELECT [a']; DROP DATABASE d; SELECT [']", kMssql, false},
      {"CREATE PROCEDURE p() SELECT [a;]]b]", kMssql, true},
      // BEGIN and END as names open and close nothing.
      {"CREATE PROCEDURE p() SELECT begin FROM t; DROP DATABASE d; SELECT end FROM t", 0, false},
      {"CREATE PROCEDURE p() SELECT (1) begin; DROP DATABASE d; SELECT 1 end", 0, false},
      {"CREATE PROCEDURE p() SELECT CASE WHEN 1 THEN begin ELSE 0 END; DROP DATABASE d; "
       "SELECT 1 end", 0, false},
      {"CREATE PROCEDURE p() BEGIN l: LOOP LEAVE l; END LOOP; SELECT begin, end FROM t; END",
       0, true},
      {"CREATE PROCEDURE p() BEGIN SELECT CASE WHEN 1 THEN 2 END AS x, end FROM t; END", 0,
       true},
      // An END without its kind's word closes a block only where a
      // statement begins; elsewhere it is a name.
      {"CREATE PROCEDURE p() BEGIN SELECT 1 AS end; SELECT 2; END", 0, true},
      {"CREATE PROCEDURE p() SELECT 1 AS end; DROP DATABASE d; SELECT 1 end", 0, false},
      {"CREATE PROCEDURE p() BEGIN SELECT 1; END; DROP DATABASE d; BEGIN SELECT 1 end; END", 0,
       false},
      {"CREATE PROCEDURE p() BEGIN END", 0, true},
      {"CREATE PROCEDURE p() BEGIN NOT ATOMIC END; DROP DATABASE d; BEGIN END", 0, false},
      {"CREATE PROCEDURE p() BEGIN BEGIN NOT ATOMIC END; SELECT 1; END", 0, true},
      {"CREATE PROCEDURE p() BEGIN REPEAT SELECT 1; UNTIL 1 END REPEAT; END", 0, true},
      // An older server skips a versioned comment, BEGIN and all.
      {"CREATE PROCEDURE p() /*!99999 BEGIN */ SELECT 1; DROP DATABASE d; /*!99999 END */", 0,
       false},
      // A condition in parentheses.
      {"CREATE PROCEDURE p() BEGIN IF (1) THEN SELECT 1; ELSE IF (2) THEN SELECT 2; END IF; "
       "END IF; END", 0, true},
      // Oracle's declarations stand only after AS or IS.
      {"CREATE PROCEDURE p() SELECT 1; DROP DATABASE d; BEGIN NULL; END", kOracle, false},
      {"CREATE PROCEDURE p AS BEGIN <<l>> LOOP EXIT l; END LOOP; EXCEPTION WHEN OTHERS THEN "
       "BEGIN NULL; END; END", kOracle, true},
      // Heads as the server prints them.
      {"CREATE DEFINER=`root`@`localhost` FUNCTION `f1`(x DECIMAL(10,2)) RETURNS varchar(10) "
       "CHARSET latin1 COLLATE latin1_bin\n    NO SQL\n    COMMENT 'c;'\nBEGIN RETURN 'a'; END",
       0, true},
      {"CREATE DEFINER=`root`@`localhost` FUNCTION `f2`() RETURNS bigint(20) unsigned\nBEGIN "
       "DECLARE EXIT HANDLER FOR SQLSTATE '23000', NOT FOUND BEGIN RETURN 1; END; RETURN 2; END",
       0, true},
      {"CREATE DEFINER=`root`@`localhost` TRIGGER tr2 BEFORE INSERT ON t FOR EACH ROW FOLLOWS "
       "tr1 BEGIN SET NEW.a = 2; END", 0, true},
      {"CREATE DEFINER=`root`@`localhost` EVENT `e1` ON SCHEDULE EVERY 1 DAY STARTS "
       "'2030-01-01 00:00:00' ON COMPLETION PRESERVE DISABLE COMMENT 'z' DO BEGIN SELECT 1; END",
       0, true},
      {"CREATE DEFINER=\"root\"@\"localhost\" FUNCTION \"f3\"() RETURN int(11)\nIS BEGIN RETURN 1; "
       "END", kOracle | kAnsi, true},
      {"CREATE VIEW v AS SELECT 1; DROP DATABASE d", 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(block_count::endsOnlyAtItsEnd(c.sql, c.mode), c.single);
  }
  // Without backslash escapes the quote ends at the backslash.
  EXPECT_FALSE(block_count::endsOnlyAtItsEnd("CREATE PROCEDURE p() SELECT ' \\'; DROP "
                                                "DATABASE d; '",
                                                sql_lexer::kModeNoBackslashEscapes));
}
