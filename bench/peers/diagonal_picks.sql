-- What a user would write for SQLite's shell: one case's share of picks on
-- a common diagonal. The driver names the input file and the case's count.
.mode list
.separator " "
CREATE TABLE points(x INTEGER, y INTEGER);
.import --skip 1 :INPUT: points
SELECT printf('%.10f', ((SELECT sum(c * c) FROM (SELECT count(*) AS c FROM points GROUP BY y - x))
                      + (SELECT sum(c * c) FROM (SELECT count(*) AS c FROM points GROUP BY x + y))
                      - 2.0 * :N:) / (1.0 * :N: * :N:));
