"""The freight firm's questions for the question bench (freight_db.py).

Rows of (shape, question, SQL, kind, domain), read by questions.py like its
own tables: the expected answer is what the SQL returns on the same server.
"""

DN = "SELECT full_name FROM drivers"
CO = "SELECT company FROM clients"
DEP = "SELECT depot_name FROM depots"
# A shipment item is charged its weight times the rate per kg.
FL = "it.weight_kg * it.rate_per_kg"
FT = (f"SELECT s.shipment_id, SUM({FL}) t FROM shipments s JOIN shipment_items it "
      "ON it.shipment_id=s.shipment_id GROUP BY s.shipment_id")


def F(shape, question, sql, kind, domain=""):
    return (shape, question, sql, kind, domain)


FREIGHT = [
 F("count", "How many drivers do we employ?", "SELECT COUNT(*) FROM drivers", "number"),
 F("count", "How many shipments are there?", "SELECT COUNT(*) FROM shipments", "number"),
 F("count", "Number of clients?", "SELECT COUNT(*) FROM clients", "number"),
 F("count-distinct", "How many different destinations do we ship to?", "SELECT COUNT(DISTINCT destination) FROM shipments", "number"),
 F("count-distinct", "How many different countries are our clients based in?", "SELECT COUNT(DISTINCT country) FROM clients", "number"),
 F("count-filter", "How many shipments are delayed?", "SELECT COUNT(*) FROM shipments WHERE status='delayed'", "number"),
 F("count-filter", "How many shipments went to Belfast?", "SELECT COUNT(*) FROM shipments WHERE destination='Belfast'", "number"),
 F("count-filter", "How many drivers hold a C+E licence?", "SELECT COUNT(*) FROM drivers WHERE licence_class='C+E'", "number"),
 F("num-filter", "How many shipment items weigh more than 800 kg?", "SELECT COUNT(*) FROM shipment_items WHERE weight_kg > 800", "number"),
 F("num-filter", "How many items have a rate per kg under 0.5?", "SELECT COUNT(*) FROM shipment_items WHERE rate_per_kg < 0.5", "number"),
 F("num-filter", "How many items weigh between 100 and 200 kg?", "SELECT COUNT(*) FROM shipment_items WHERE weight_kg BETWEEN 100 AND 200", "number"),
 F("date-year", "How many shipments left in 2024?", "SELECT COUNT(*) FROM shipments WHERE YEAR(shipped_on)=2024", "number"),
 F("date-month", "How many shipments were sent in February 2023?", "SELECT COUNT(*) FROM shipments WHERE shipped_on BETWEEN '2023-02-01' AND '2023-02-28'", "number"),
 F("date-before", "Which drivers were hired before 2017?", "SELECT full_name FROM drivers WHERE hired_on < '2017-01-01'", "list", DN),
 F("date-after", "How many drivers were hired after 2021-12-31?", "SELECT COUNT(*) FROM drivers WHERE hired_on > '2021-12-31'", "number"),
 F("date-after", "Which depots opened after 2020?", "SELECT depot_name FROM depots WHERE opened_on >= '2021-01-01'", "list", DEP),
 F("agg", "What is the average weight of a shipment item?", "SELECT AVG(weight_kg) FROM shipment_items", "number"),
 F("agg", "What's the heaviest item weight we've carried?", "SELECT MAX(weight_kg) FROM shipment_items", "number"),
 F("agg", "What is the total weight of all frozen goods items?", "SELECT SUM(weight_kg) FROM shipment_items WHERE cargo='frozen goods'", "number"),
 F("agg", "What's the lowest rate per kg charged?", "SELECT MIN(rate_per_kg) FROM shipment_items", "number"),
 F("extreme", "Which driver was hired first?", "SELECT full_name FROM drivers WHERE hired_on=(SELECT MIN(hired_on) FROM drivers)", "entity", DN),
 F("extreme", "Which depot is the newest?", "SELECT depot_name FROM depots WHERE opened_on=(SELECT MAX(opened_on) FROM depots)", "entity", DEP),
 F("extreme", "Show the three heaviest shipment items.", "SELECT weight_kg, cargo FROM shipment_items ORDER BY weight_kg DESC LIMIT 3", "rows", ""),
 F("group", "Which destination receives the most shipments?", "SELECT destination FROM shipments GROUP BY destination HAVING COUNT(*)=(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM shipments GROUP BY destination) t)", "entity", "SELECT DISTINCT destination FROM shipments"),
 F("group", "How many shipments are there in each status?", "SELECT status, COUNT(*) FROM shipments GROUP BY status", "groups"),
 F("group-join", "Which depot has the most drivers?", "SELECT d.depot_name FROM depots d JOIN drivers r ON r.depot_id=d.depot_id GROUP BY d.depot_id, d.depot_name HAVING COUNT(*)=(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM drivers GROUP BY depot_id) t)", "entity", DEP),
 F("group-join", "Which driver made the most shipments?", "SELECT r.full_name FROM drivers r JOIN shipments s ON s.driver_id=r.driver_id GROUP BY r.driver_id, r.full_name HAVING COUNT(*)=(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM shipments GROUP BY driver_id) t)", "entity", DN),
 F("group-join", "Which client has paid us the most in freight charges?", f"SELECT c.company FROM clients c JOIN shipments s ON s.client_id=c.client_id JOIN shipment_items it ON it.shipment_id=s.shipment_id GROUP BY c.client_id, c.company ORDER BY SUM({FL}) DESC LIMIT 1", "entity", CO),
 F("lookup-join", "How many shipments has Acme Tools sent?", "SELECT COUNT(*) FROM shipments s JOIN clients c ON c.client_id=s.client_id WHERE c.company='Acme Tools'", "number"),
 F("lookup-join", "How many shipments were for clients in Ireland?", "SELECT COUNT(*) FROM shipments s JOIN clients c ON c.client_id=s.client_id WHERE c.country='Ireland'", "number"),
 F("lookup-join", "How many drivers work at the North Hub depot?", "SELECT COUNT(*) FROM drivers r JOIN depots d ON d.depot_id=r.depot_id WHERE d.depot_name='North Hub'", "number"),
 F("no-match", "Which clients have never shipped anything?", "SELECT company FROM clients c WHERE NOT EXISTS (SELECT 1 FROM shipments s WHERE s.client_id=c.client_id)", "list", CO),
 F("attr", "Which city is the Harbour Yard depot in?", "SELECT city FROM depots WHERE depot_name='Harbour Yard'", "entity", "SELECT city FROM depots"),
 F("attr", "Where is Delta Textiles based?", "SELECT city FROM clients WHERE company='Delta Textiles'", "entity", "SELECT DISTINCT city FROM clients"),
 F("attr", "What licence class does George Patel have?", "SELECT licence_class FROM drivers WHERE full_name='George Patel'", "entity", "SELECT DISTINCT licence_class FROM drivers"),
 F("money", "What is the total freight revenue (weight times rate per kg)?", f"SELECT SUM({FL}) FROM shipment_items it", "number"),
 F("money", "How much did we charge for shipments in 2023?", f"SELECT SUM({FL}) FROM shipment_items it JOIN shipments s ON s.shipment_id=it.shipment_id WHERE YEAR(s.shipped_on)=2023", "number"),
 F("money", "What is the average charge per shipment?", f"SELECT AVG(t) FROM (SELECT SUM({FL}) t FROM shipment_items it GROUP BY it.shipment_id) x", "number"),
 F("list", "List all the cargo types we carry.", "SELECT DISTINCT cargo FROM shipment_items", "list", "SELECT DISTINCT cargo FROM shipment_items"),
 F("list", "What are the names of our depots?", "SELECT depot_name FROM depots", "list", DEP),
 F("list", "Which cities are our clients in?", "SELECT DISTINCT city FROM clients", "list", "SELECT DISTINCT city FROM clients"),
 F("decline", "How many trucks does the company own?", "", "decline"),
 F("decline", "What is the fuel cost of shipment 12?", "", "decline"),
 F("decline", "How many shipments went to Paris?", "", "decline"),
 F("decline", "How many grommets are in the shipments table?", "", "decline"),
 F("decline", "How many shipments will be delayed next year?", "", "decline"),
 F("decline", "Why are shipments delayed?", "", "decline"),
 F("decline", "What is the salary of Isla Doyle?", "", "decline"),
]

FREIGHT_PROBE = [
 F("count-filter", "How many shipments are delayed or lost?", "SELECT COUNT(*) FROM shipments WHERE status IN ('delayed','lost')", "number"),
 F("count-filter", "How many shipments have not been delivered yet?", "SELECT COUNT(*) FROM shipments WHERE status<>'delivered'", "number"),
 F("count-filter", "How many shipments to York were delivered?", "SELECT COUNT(*) FROM shipments WHERE destination='York' AND status='delivered'", "number"),
 F("count-filter", "How many shipments did Mia Pearson drive in 2024?", "SELECT COUNT(*) FROM shipments s JOIN drivers r ON r.driver_id=s.driver_id WHERE r.full_name='Mia Pearson' AND YEAR(s.shipped_on)=2024", "number"),
 F("count-filter", "How many drivers are based in Leeds?", "SELECT COUNT(*) FROM drivers r JOIN depots d ON d.depot_id=r.depot_id WHERE d.city='Leeds'", "number"),
 F("count-filter", "How many shipment items are machine parts?", "SELECT COUNT(*) FROM shipment_items WHERE cargo='machine parts'", "number"),
 F("count-having", "How many clients have more than 10 shipments?", "SELECT COUNT(*) FROM (SELECT client_id FROM shipments GROUP BY client_id HAVING COUNT(*)>10) t", "number"),
 F("percent", "What share of shipments were lost?", "SELECT 100*SUM(status='lost')/COUNT(*) FROM shipments", "number"),
 F("agg", "What is the average rate per kg for electronics?", "SELECT AVG(rate_per_kg) FROM shipment_items WHERE cargo='electronics'", "number"),
 F("agg", "What's the total weight shipped to Aberdeen?", "SELECT SUM(it.weight_kg) FROM shipment_items it JOIN shipments s ON s.shipment_id=it.shipment_id WHERE s.destination='Aberdeen'", "number"),
 F("agg", "When was the last shipment sent out?", "SELECT MAX(shipped_on) FROM shipments", "rows"),
 F("agg", "What's the total weight of shipment 10?", "SELECT SUM(weight_kg) FROM shipment_items WHERE shipment_id=10", "number"),
 F("extreme", "Which client is our biggest customer by freight charges?", f"SELECT c.company FROM clients c JOIN shipments s ON s.client_id=c.client_id JOIN shipment_items it ON it.shipment_id=s.shipment_id GROUP BY c.client_id,c.company ORDER BY SUM({FL}) DESC LIMIT 1", "entity", CO),
 F("extreme", "Which client has the most shipments?", "SELECT c.company FROM clients c JOIN shipments s ON s.client_id=c.client_id GROUP BY c.client_id,c.company HAVING COUNT(*)=(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM shipments GROUP BY client_id) t)", "entity", CO),
 F("extreme", "Which driver has been with us the shortest time?", "SELECT full_name FROM drivers WHERE hired_on=(SELECT MAX(hired_on) FROM drivers)", "entity", DN),
 F("extreme", "Which depot was opened first?", "SELECT depot_name FROM depots WHERE opened_on=(SELECT MIN(opened_on) FROM depots)", "entity", DEP),
 F("extreme", "What is the most common cargo?", "SELECT cargo FROM shipment_items GROUP BY cargo HAVING COUNT(*)=(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM shipment_items GROUP BY cargo) t)", "entity", "SELECT DISTINCT cargo FROM shipment_items"),
 F("extreme", "Which shipment had the highest total charge?", f"SELECT shipment_id FROM ({FT}) x WHERE t=(SELECT MAX(t) FROM ({FT}) y)", "number"),
 F("group", "How many drivers are there per depot?", "SELECT d.depot_name, COUNT(*) FROM drivers r JOIN depots d ON d.depot_id=r.depot_id GROUP BY d.depot_name", "groups"),
 F("group", "How many drivers hold each licence class?", "SELECT licence_class, COUNT(*) FROM drivers GROUP BY licence_class", "groups"),
 F("group", "How many clients are there in each country?", "SELECT country, COUNT(*) FROM clients GROUP BY country", "groups"),
 F("group", "Which country do most of our clients come from?", "SELECT country FROM clients GROUP BY country HAVING COUNT(*)=(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM clients GROUP BY country) t)", "entity", "SELECT DISTINCT country FROM clients"),
 F("group", "Which depot's drivers handled the most shipments?", "SELECT d.depot_name FROM depots d JOIN drivers r ON r.depot_id=d.depot_id JOIN shipments s ON s.driver_id=r.driver_id GROUP BY d.depot_id,d.depot_name HAVING COUNT(*)=(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM shipments s JOIN drivers r ON r.driver_id=s.driver_id GROUP BY r.depot_id) t)", "entity", DEP),
 F("lookup", "Who drove shipment 25?", "SELECT r.full_name FROM drivers r JOIN shipments s ON s.driver_id=r.driver_id WHERE s.shipment_id=25", "entity", DN),
 F("lookup", "Which depot does Isla Doyle work at?", "SELECT d.depot_name FROM depots d JOIN drivers r ON r.depot_id=d.depot_id WHERE r.full_name='Isla Doyle'", "entity", DEP),
 F("lookup", "When was Leo Khan hired?", "SELECT hired_on FROM drivers WHERE full_name='Leo Khan'", "rows"),
 F("lookup", "Where are Orchard Cider's shipments going?", "SELECT DISTINCT destination FROM shipments s JOIN clients c ON c.client_id=s.client_id WHERE c.company='Orchard Cider'", "list", "SELECT DISTINCT destination FROM shipments"),
 F("lookup", "How many shipments did clients in Belgium send in 2023?", "SELECT COUNT(*) FROM shipments s JOIN clients c ON c.client_id=s.client_id WHERE c.country='Belgium' AND YEAR(s.shipped_on)=2023", "number"),
 F("list", "Which clients are in the Netherlands?", "SELECT company FROM clients WHERE country='Netherlands'", "list", CO),
 F("list", "Which drivers work at Thames Gate?", "SELECT r.full_name FROM drivers r JOIN depots d ON d.depot_id=r.depot_id WHERE d.depot_name='Thames Gate'", "list", DN),
 F("list", "What destinations do we deliver to?", "SELECT DISTINCT destination FROM shipments", "list", "SELECT DISTINCT destination FROM shipments"),
 F("decline", "What is the average delivery time?", "", "decline"),
 F("decline", "How many shipments were sent in 2021?", "SELECT COUNT(*) FROM shipments WHERE YEAR(shipped_on)=2021", "number"),
 F("decline", "Which driver is the fastest?", "", "decline"),
 F("decline", "What is the median item weight?", "", "decline"),
 F("decline", "How many drivers are older than 40?", "", "decline"),
 F("decline", "How many shipments went to Glasgow?", "SELECT COUNT(*) FROM shipments WHERE destination='Glasgow'", "number"),
]

FREIGHT_R3 = [
 F("date-join", "How many shipments did drivers from Harbour Yard make in 2023?", "SELECT COUNT(*) FROM shipments s JOIN drivers r ON r.driver_id=s.driver_id JOIN depots d ON d.depot_id=r.depot_id WHERE d.depot_name='Harbour Yard' AND YEAR(s.shipped_on)=2023", "number"),
 F("date-join", "Which driver made the most shipments in 2024?", "SELECT r.full_name FROM drivers r JOIN shipments s ON s.driver_id=r.driver_id WHERE YEAR(s.shipped_on)=2024 GROUP BY r.driver_id,r.full_name HAVING COUNT(*)=(SELECT MAX(n) FROM (SELECT COUNT(*) n FROM shipments WHERE YEAR(shipped_on)=2024 GROUP BY driver_id) t)", "entity", DN),
 F("date-join", "How many shipments in 2023 were handled by drivers hired in 2021?", "SELECT COUNT(*) FROM shipments s JOIN drivers r ON r.driver_id=s.driver_id WHERE YEAR(s.shipped_on)=2023 AND YEAR(r.hired_on)=2021", "number"),
 F("date-join", "How many shipments did Granite Works have in 2024?", "SELECT COUNT(*) FROM shipments s JOIN clients c ON c.client_id=s.client_id WHERE c.company='Granite Works' AND YEAR(s.shipped_on)=2024", "number"),
 F("date-join", "How many drivers made at least one shipment in March 2024?", "SELECT COUNT(DISTINCT driver_id) FROM shipments WHERE shipped_on BETWEEN '2024-03-01' AND '2024-03-31'", "number"),
 F("name-col", "Which clients are in Cork?", "SELECT company FROM clients WHERE city='Cork'", "list", CO),
 # Clients with no shipment at all have the fewest.
 F("name-col", "Which client has the fewest shipments?", "SELECT c.company FROM clients c LEFT JOIN shipments s ON s.client_id=c.client_id GROUP BY c.client_id, c.company HAVING COUNT(s.shipment_id)=(SELECT MIN(n) FROM (SELECT COUNT(s2.shipment_id) n FROM clients c2 LEFT JOIN shipments s2 ON s2.client_id=c2.client_id GROUP BY c2.client_id) t)", "entity", CO),
 F("name-col", "How many shipments per client?", "SELECT c.company, COUNT(*) FROM clients c JOIN shipments s ON s.client_id=c.client_id GROUP BY c.company", "groups"),
 F("name-col", "List our clients.", "SELECT company FROM clients", "list", CO),
 F("name-col", "Which clients have a delayed shipment?", "SELECT DISTINCT c.company FROM clients c JOIN shipments s ON s.client_id=c.client_id WHERE s.status='delayed'", "list", CO),
 F("name-col", "How many shipments are in transit for Orchard Cider?", "SELECT COUNT(*) FROM shipments s JOIN clients c ON c.client_id=s.client_id WHERE c.company='Orchard Cider' AND s.status='in transit'", "number"),
]

ROWS = FREIGHT + FREIGHT_PROBE + FREIGHT_R3
